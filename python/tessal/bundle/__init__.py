"""Data bundles: on-disk format, the synthetic market and CSV import."""
from .format import (ARRAY_GROUPS, FORMAT_VERSION, INDUSTRY_SOURCES, PRICE_FIELDS, Bundle,
                     BundleWriter, open_bundle, verify_checksums)
from .paths import (build_large_bundle, cache_dir, default_bundle_path, ensure_bundle,
                    ensure_default_bundle, large_bundle_path)
from .csv_import import import_csv
from .synthetic import INDEXES, STORED_FACTORS, STYLE_FACTORS, generate_market

__all__ = [
    "ARRAY_GROUPS", "FORMAT_VERSION", "INDUSTRY_SOURCES", "PRICE_FIELDS", "Bundle",
    "BundleWriter", "open_bundle", "verify_checksums", "build_large_bundle", "cache_dir",
    "default_bundle_path", "ensure_bundle", "ensure_default_bundle", "large_bundle_path",
    "INDEXES", "STORED_FACTORS", "STYLE_FACTORS", "generate_market", "import_csv",
]
