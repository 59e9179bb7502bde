"""Exceptions raised by the market-data client."""


class BundleError(Exception):
    """A data bundle is missing, damaged, of an unsupported version or malformed.

    The message names the offending file whenever one is to blame.
    """


class CsvFormatError(ValueError):
    """A CSV file given to the importer is malformed; the message names file and line."""
