"""Optional libraries, imported only when a feature needs them."""

import importlib


_LIBRARY = {"Bio": "Biopython", "skbio": "scikit-bio", "matplotlib": "matplotlib"}


class MissingExtraError(ImportError):
    """A feature needs an optional library that is not installed."""


def require(module, extra, purpose):
    """Imports `module`, or raises MissingExtraError naming the extra to install."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        # A library that is installed but fails inside its own import should
        # still show why.
        top = module.split(".")[0]
        missing = getattr(error, "name", None) or top
        detail = "" if missing.split(".")[0] == top else f" ({error})"
        raise MissingExtraError(
            f"{purpose} needs {_LIBRARY.get(top, top)}: pip install njkit[{extra}]{detail}"
        ) from None
