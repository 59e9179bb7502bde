"""Factor libraries at once: many factors over one load of the data, and
analysed over inputs fetched once."""
from .execute import execute_factors
from .study import study_factors

__all__ = ["execute_factors", "study_factors"]
