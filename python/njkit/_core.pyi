"""The core of njkit: alignments encoded as bit planes, distance matrices,
Neighbor-Joining trees and seeded bootstrap support. Every long call gives up
the interpreter lock; Ctrl-C stops its worker threads and raises."""

from collections.abc import Buffer, Callable, Sequence
from os import PathLike
from typing import Literal, final

Missing = Literal["skip", "literal"]
AlphabetChoice = Literal["auto", "dna", "protein"]
Model = Literal["PDiff", "JukesCantor", "Kimura2P", "Poisson"]
Support = Literal["split", "clade"]
Undefined = Literal["error", "nan"]

@final
class Alignment:
    """An alignment encoded by the core; immutable and picklable."""

    @property
    def identifiers(self) -> list[str]: ...
    @property
    def n(self) -> int: ...
    @property
    def length(self) -> int: ...
    @property
    def alphabet(self) -> Literal["dna", "protein"]: ...
    @property
    def missing(self) -> Missing: ...

@final
class FastaParser:
    """A FASTA reader fed in pieces (for gzip streams and file objects)."""

    def __init__(self, *, missing: Missing, alphabet: AlphabetChoice = "auto",
                 source: str = "<input>") -> None: ...
    def feed(self, data: Buffer) -> None: ...
    def finish(self) -> Alignment: ...

def read_fasta(path: str | PathLike[str], *, missing: Missing,
               alphabet: AlphabetChoice = "auto") -> Alignment: ...
def alignment_from_sequences(identifiers: Sequence[str], sequences: Sequence[str | bytes], *,
                             missing: Missing, alphabet: AlphabetChoice = "auto") -> Alignment: ...

@final
class Distances:
    """A distance matrix held by the core; picklable."""

    @property
    def names(self) -> list[str]: ...
    @property
    def n(self) -> int: ...
    def to_square(self, out: Buffer) -> None: ...

def distances_from_alignment(aln: Alignment, *, model: Model, threads: int = 1,
                             undefined: Undefined = "error") -> Distances: ...
def distances_from_array(names: Sequence[str], values: Buffer, *,
                         layout: Literal["square", "condensed"]) -> Distances: ...

@final
class MainTree:
    """The exact Neighbor-Joining tree, as _nj_py builds it; picklable."""

    @property
    def n(self) -> int: ...
    def newick(self, counts: Buffer | None = None, replicates: int = 0, percent: bool = False,
               support: Support = "split") -> str: ...

def build_tree(dist: Distances, *, consume: bool = False) -> MainTree: ...
def count_support(aln: Alignment, tree: MainTree, *, model: Model, seed: int, first: int,
                  count: int, support: Support = "split", threads: int = 1,
                  undefined: Undefined = "error",
                  on_progress: Callable[[int, int], object] | None = None) -> bytes: ...
