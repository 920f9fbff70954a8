"""njkit: exact Neighbor-Joining trees from alignments and distance matrices,
with reproducible multi-core bootstrap support.

    import njkit
    tree = njkit.tree("alignment.fa", bootstrap=100, seed=1, percent=True)
    print(tree.newick)

The optional libraries (Biopython, scikit-bio, matplotlib) are imported only
by the features that need them.
"""

from importlib import metadata as _metadata

from ._api import distances, read_alignment, tree
from ._core import Alignment
from ._extras import MissingExtraError
from ._matrix import Distances
from ._tree import Tree

try:
    __version__ = _metadata.version("njkit")
except _metadata.PackageNotFoundError:  # imported from a source tree
    __version__ = "unknown"

__all__ = ["Alignment", "Distances", "MissingExtraError", "Tree", "distances",
           "read_alignment", "tree", "__version__"]
