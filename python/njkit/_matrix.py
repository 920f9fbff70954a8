"""The result of `njkit.distances`."""

import numpy as np

from . import _phylip
from ._atomic import write_atomically
from ._extras import require


class Distances:
    """A distance matrix and its identifiers.

    `matrix` is a read-only n x n numpy float64 array; `identifiers` names
    its rows. Unpacks as `matrix, identifiers = njkit.distances(...)`, and
    can be handed to `njkit.tree` as it is.
    """

    def __init__(self, core):
        self._njkit_distances = core
        self.identifiers = list(core.names)
        self._matrix = None

    @property
    def matrix(self):
        if self._matrix is None:
            n = len(self.identifiers)
            square = np.empty((n, n), dtype=np.float64)
            self._njkit_distances.to_square(square)
            # Read-only: the core keeps its own copy, which njkit.tree uses.
            square.flags.writeable = False
            self._matrix = square
        return self._matrix

    def __iter__(self):
        return iter((self.matrix, self.identifiers))

    def __repr__(self):
        return f"<njkit.Distances of {len(self.identifiers)} sequences>"

    def write_phylip(self, path):
        """Writes the square matrix in PHYLIP form, atomically. Names fill
        PHYLIP's ten-column field when they all fit it, else they are
        written in relaxed form (the name and a space)."""
        write_atomically(path, self._write)

    def _write(self, handle):
        _phylip.write_matrix(handle, self.identifiers, self.matrix)

    def to_skbio(self):
        """The matrix as a scikit-bio DistanceMatrix."""
        skbio = require("skbio", "skbio", "to_skbio()")
        return skbio.DistanceMatrix(np.array(self.matrix), self.identifiers)
