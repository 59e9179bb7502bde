"""Remote-method style access to reference data (industry classification records)."""
from . import _state

__all__ = ["Client", "get_client", "METHODS"]

# Remote method -> industry source stored in the bundle.
METHODS = {
    "__internal__zx2019_industry": "citics_2019",
    "__internal__shenwan_industry": "sws",
}


class Client:
    """Answers `execute(method)` from the bundle in use."""

    def execute(self, method, *args, **kwargs):
        """Runs a remote method.

        "__internal__zx2019_industry": list of (first_industry_name,
        order_book_id, start_date) tuples; "__internal__shenwan_industry": list
        of (index_name, order_book_id, start_date, version) tuples carrying all
        three editions.  Start dates are `pandas.Timestamp`s.
        """
        if method not in METHODS:
            raise ValueError("unknown method {!r}; available: {}".format(
                method, ", ".join(sorted(METHODS))))
        if args or kwargs:
            raise TypeError("method {} takes no arguments".format(method))
        return _state.current().industry_records(METHODS[method])


_client = Client()


def get_client():
    """The client object of this process."""
    return _client
