"""alvora: factor research toolkit for equity markets."""
# Development builds keep the compiled extension modules in a separate staging
# tree on sys.path; extend_path lets both trees form one package.
import os as _os
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
__version__ = "0.1.0"

_ISA_LEVELS = ("baseline", "avx2", "avx512")
_asked_isa = _os.environ.get("ALVORA_ISA", "")
if _asked_isa and _asked_isa not in _ISA_LEVELS:
    raise ImportError(
        f"ALVORA_ISA={_asked_isa!r} is not one of {', '.join(_ISA_LEVELS)} "
        "(unset it to use the best level the machine runs)")


def isa():
    """The instruction-set level the vectorised kernels run at.

    One of 'baseline', 'avx2' and 'avx512': the best the machine runs, or
    lower when the environment variable ALVORA_ISA asks for it at start-up.
    """
    from alvora._isa import isa as level
    return level()
