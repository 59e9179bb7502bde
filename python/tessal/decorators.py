"""Memoisation with expiry, used to keep slowly changing reference data in memory."""
import functools
import inspect
import threading
import time

__all__ = ["ttl_cache"]

# Clock used for expiry; tests replace it to move time forward.
_now = time.monotonic


def ttl_cache(seconds):
    """Decorator memoising a function by its arguments for `seconds` seconds.

    Positional and keyword spellings of the same call share one entry (the
    arguments are bound to the signature, defaults filled in).  An entry is
    recomputed once it is `seconds` old; exceptions are not cached.  Calls with
    unhashable arguments are computed every time.  The wrapper exposes
    `cache_clear()` and `cache_info()`.
    """
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError("ttl_cache: seconds must be a number, got {!r}".format(seconds))
    if not seconds >= 0:
        raise ValueError("ttl_cache: seconds must be >= 0, got {!r}".format(seconds))

    def decorate(func):
        try:
            signature = inspect.signature(func)
        except (TypeError, ValueError):
            signature = None
        entries = {}
        lock = threading.Lock()
        stats = {"hits": 0, "misses": 0}

        def make_key(args, kwargs):
            if signature is not None:
                try:
                    bound = signature.bind(*args, **kwargs)
                except TypeError:
                    bound = None
                if bound is not None:
                    bound.apply_defaults()
                    return tuple(bound.arguments.items())
            return (args, tuple(sorted(kwargs.items())))

        @functools.wraps(func)
        def wrapper(*args, **kwargs):
            key = make_key(args, kwargs)
            try:
                hash(key)
            except TypeError:
                return func(*args, **kwargs)
            with lock:
                found = entries.get(key)
                if found is not None and _now() - found[0] < seconds:
                    stats["hits"] += 1
                    return found[1]
            value = func(*args, **kwargs)
            with lock:
                stats["misses"] += 1
                entries[key] = (_now(), value)
            return value

        def cache_clear():
            with lock:
                entries.clear()
                stats["hits"] = stats["misses"] = 0

        def cache_info():
            with lock:
                return {"hits": stats["hits"], "misses": stats["misses"],
                        "size": len(entries), "ttl": seconds}

        wrapper.cache_clear = cache_clear
        wrapper.cache_info = cache_info
        return wrapper

    return decorate
