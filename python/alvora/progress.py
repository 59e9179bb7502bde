"""Progress bars for long work: shown only on a terminal, only when the work
outlasts a second, never with ``quiet``."""
import sys

__all__ = ["progress_bar"]

# Seconds of work before a bar appears: short studies stay silent.
DELAY = 1.0


class _Silent:
    def update(self, n=1):
        pass

    def set_postfix_str(self, text):
        pass

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def progress_bar(total, desc, quiet=False, stream=None):
    """A tqdm bar over ``total`` units on ``stream`` (default stderr), or a
    silent stand-in when quiet, not on a terminal, or tqdm is missing."""
    stream = stream if stream is not None else sys.stderr
    isatty = getattr(stream, "isatty", None)
    if quiet or not (callable(isatty) and isatty()):
        return _Silent()
    try:
        from tqdm import tqdm
    except ImportError:
        return _Silent()
    return tqdm(total=total, desc=desc, file=stream, delay=DELAY, leave=False,
                dynamic_ncols=True)
