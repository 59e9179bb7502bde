"""Study reports: CSV tables with a text summary (``write_report``) and a
self-contained HTML tear sheet with figures (``write_html``)."""
from .tables import result_tables, write_report
from .html import write_html

__all__ = ["result_tables", "write_report", "write_html"]
