PRICING_FACTORS = set()
def get_universe_mask(order_book_ids, start_date, end_date, universe): return None
class ThreadingExecContext: pass
