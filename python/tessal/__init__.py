"""tessal: market-data client reading a local data bundle.

Trading calendar, instruments, daily bars, change rates, stored factors,
industry classification records and style factor exposures.  The bundle in
use is chosen with `init(path)` (default: a synthetic market generated on
first use in ~/.cache/tessal/default-v2); build one from CSV files with
`tessal import`.
"""
from . import bundle, client, decorators, utils
from ._state import init
from .calendar_api import (get_latest_trading_date, get_next_trading_date,
                           get_previous_trading_date, get_trading_dates, is_trading_date,
                           trading_date_offset)
from .errors import BundleError, CsvFormatError
from .factor_api import (get_factor, get_style_factor_exposure, get_style_panel, list_factors,
                         list_style_factors)
from .instruments_api import Instrument, all_instruments, instruments
from .market_api import get_panel, get_panel_values, get_price, get_price_change_rate

__all__ = [
    "init", "BundleError", "CsvFormatError", "Instrument",
    "get_latest_trading_date", "get_trading_dates", "get_previous_trading_date",
    "get_next_trading_date", "trading_date_offset", "is_trading_date",
    "all_instruments", "instruments",
    "get_price", "get_price_change_rate", "get_panel", "get_panel_values",
    "get_factor", "get_style_factor_exposure", "get_style_panel", "list_factors",
    "list_style_factors",
    "bundle", "client", "decorators", "utils",
]
