"""The result of `njkit.tree`."""

from . import _newick
from ._atomic import write_atomically
from ._extras import require


class Tree:
    """A Neighbor-Joining tree with its support values.

    Attributes: `newick` (the text), `identifiers` (the leaves, in input
    order), `model` (None for a tree of a given distance matrix), `bootstrap`
    (the number of replicates), `seed` (the seed the replicates were drawn
    with, None without replicates), `support` ("split" or "clade"), `percent`
    and `counts` (a numpy uint64 array of raw support counts per inner node of
    the tree, or None).
    """

    def __init__(self, newick, identifiers, *, model, bootstrap, seed, support, percent, counts):
        self.newick = newick
        self.identifiers = identifiers
        self.model = model
        self.bootstrap = bootstrap
        self.seed = seed
        self.support = support
        self.percent = percent
        self.counts = counts

    def __str__(self):
        return self.newick

    def __repr__(self):
        made = f"{self.model}, " if self.model else ""
        replicates = (f"{self.bootstrap} replicates ({self.support} support, seed {self.seed})"
                      if self.bootstrap else "no replicates")
        return f"<njkit.Tree of {len(self.identifiers)} leaves: {made}{replicates}>"

    def write(self, path):
        """Writes the Newick text and a newline to `path`, atomically."""
        write_atomically(path, lambda handle: handle.write(self.newick + "\n"))

    def to_skbio(self):
        """The tree as a scikit-bio TreeNode (supports in `.support`)."""
        skbio = require("skbio", "skbio", "to_skbio()")

        def inner(node, children):
            made = skbio.TreeNode(length=node.length, support=node.support)
            for child in children:
                # New nodes have no caches to clear; clearing them on every
                # join would walk the subtree each time.
                made.append(child, uncache=False)
            return made

        return _newick.convert(
            _newick.parse(self.newick),
            lambda node: skbio.TreeNode(name=node.name, length=node.length), inner)

    def to_biopython(self):
        """The tree as a rooted Bio.Phylo Newick tree (supports in `.confidence`)."""
        Newick = require("Bio.Phylo.Newick", "formats", "to_biopython()")
        root = _newick.convert(
            _newick.parse(self.newick),
            lambda node: Newick.Clade(branch_length=node.length, name=node.name),
            lambda node, children: Newick.Clade(branch_length=node.length, clades=children,
                                                confidence=node.support),
        )
        return Newick.Tree(root=root, rooted=True)

    def plot(self, path, *, format=None):
        """Draws the tree with its supports into an SVG, PNG or PDF file,
        atomically (the format from the extension unless `format` is given)."""
        from . import _plot

        fmt = _plot.picture_format(path, format)
        write_atomically(path, lambda handle: _plot.draw(self, handle, fmt), binary=True)
