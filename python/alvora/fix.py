from .interface import AbstractFactor


class FixedFactor(AbstractFactor):
    pass
