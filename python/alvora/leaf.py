from .interface import LeafFactor


class _Factor(LeafFactor):
    pass
