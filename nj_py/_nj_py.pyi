from collections.abc import Callable
from typing import Any

__all__ = ["nj"]

class PanicException(BaseException):
    """Raised when the library fails internally: a broken assumption, not bad input.

    It derives from BaseException rather than Exception, so that it propagates
    through ordinary `except Exception` handlers.
    """

def nj(
    py_config: Any,
    on_progress: Callable[[int, int], object] | None = None,
) -> str:
    """Run Neighbor-Joining and return a Newick string.

    `config` must be a dict matching the shape described in the module
    documentation. `on_progress`, if provided, is called as
    `on_progress(completed, total)` after each bootstrap replicate.
    Raises `ValueError` if the config is malformed or if the NJ algorithm
    fails (e.g. incompatible model for the detected alphabet).
    """
