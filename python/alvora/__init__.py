"""alvora: factor research toolkit for equity markets."""
# Development builds keep the compiled extension modules in a separate staging
# tree on sys.path; extend_path lets both trees form one package.
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
__version__ = "0.1.0"
