"""Evaluation of factor libraries: many factors over one load of the data, and one
analysis pipeline over many factors with their inputs fetched once."""
from .execute import execute_factors, iter_factors
from .study import study_factors

__all__ = ["execute_factors", "iter_factors", "study_factors"]
