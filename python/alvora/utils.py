def get_leaves(factor): raise NotImplementedError
def use_dma(factor): raise NotImplementedError
def is_cross_sectional(node): raise NotImplementedError
def get_fixed_order_book_ids(factor, order_book_ids): raise NotImplementedError
def rolling_window(x, n): raise NotImplementedError
