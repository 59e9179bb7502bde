from .interface import AbstractFactor


class CrossSectionalFactor(AbstractFactor):
    pass
