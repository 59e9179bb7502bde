"""Evaluation of factor libraries: many factors over one load of the data."""
from .execute import execute_factors

__all__ = ["execute_factors"]
