"""tessal: market-data client over a local data bundle (placeholder, being written)."""
from . import client, decorators, utils  # noqa: F401
