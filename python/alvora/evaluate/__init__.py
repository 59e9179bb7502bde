"""Factor libraries at once: many factors analysed over inputs fetched once."""
from .study import study_factors

__all__ = ["study_factors"]
