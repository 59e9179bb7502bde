"""Factor node base classes (placeholder, being written)."""


class AbstractFactor:
    pass


class LeafFactor(AbstractFactor):
    pass


class ShiftedFactor(AbstractFactor):
    pass


class BinaryCombinedFactor(AbstractFactor):
    pass
