"""The package's three entry points: tree, distances and read_alignment."""

import operator
import os

from . import _bootstrap, _core
from ._inputs import load
from ._matrix import Distances
from ._models import model_for
from ._tree import Tree


def tree(data, *, model=None, bootstrap=0, seed=None, threads=None, support="split",
         percent=False, missing="skip", undefined="error", alphabet="auto", format=None,
         names=None, progress=None, client=None):
    """The exact Neighbor-Joining tree of an alignment or a distance matrix.

    data: a path (FASTA, plain or gzip; PHYLIP, Stockholm, Clustal, Nexus with
        the `formats` extra; a PHYLIP distance matrix), a list of (identifier,
        sequence) pairs, a dict, a Biopython or scikit-bio alignment, an
        njkit Alignment or Distances, a numpy distance matrix (square or
        condensed, with `names=`) or a scikit-bio DistanceMatrix.
    model: PDiff, JukesCantor, Kimura2P or Poisson, any case, or an alias
        (p, jc, k2p, ...); None takes Kimura2P for DNA and Poisson for protein.
    bootstrap, seed: the number of replicates and the seed that fixes them
        (None: drawn from the operating system and kept in `Tree.seed`).
    threads: C++ threads for distances and replicates (default: the cores
        this process may use); the result does not depend on it.
    support: "split" (unrooted bipartitions) or "clade" (rooted clades);
        percent=True labels with integers 0-100 instead of counts.
    missing: "skip" (a column counts for a pair only where both hold a
        residue) or "literal" (gap columns count in the length, ambiguity
        codes are a state of their own).
    undefined: "error" or "nan", for a pair with no column compared.
    progress: called as progress(done, total) after replicates, in order.
    """
    return build(data, model=model, bootstrap=bootstrap, seed=seed, threads=threads,
                 support=support, percent=percent, missing=missing, undefined=undefined,
                 alphabet=alphabet, format=format, names=names, progress=progress,
                 client=client)[0]


def distances(data, *, model=None, missing="skip", undefined="error", alphabet="auto",
              format=None, threads=None, names=None):
    """The distance matrix of an alignment (see `tree` for the arguments); a
    distance matrix given as input is returned as it is read."""
    _check_reading(missing, alphabet)
    _choice("undefined", undefined, ("error", "nan"))
    threads = _threads(threads)
    source, _ = load(data, format=format, names=names, missing=missing, alphabet=alphabet)
    if isinstance(source, _core.Distances):
        _refuse_model(model)
        return Distances(source)
    model = model_for(model, source.alphabet)
    return Distances(_core.distances_from_alignment(source, model=model, threads=threads,
                                                    undefined=undefined))


def read_alignment(path_or_obj, *, format=None, missing="skip", alphabet="auto"):
    """The alignment encoded by the core, to reuse across calls."""
    _check_reading(missing, alphabet)
    source, _ = load(path_or_obj, format=format, missing=missing, alphabet=alphabet)
    if isinstance(source, _core.Distances):
        named = isinstance(path_or_obj, (str, os.PathLike))
        where = os.fspath(path_or_obj) if named else "the input"
        raise ValueError(f"{where} holds a distance matrix, not an alignment")
    return source


def build(data, *, model, bootstrap, seed, threads, support, percent, missing, undefined,
          alphabet, format, names, progress, client, keep_distances=False):
    """(Tree, Distances or None): the tree, and the main distance matrix when
    `keep_distances` asks for it."""
    _check_reading(missing, alphabet)
    _choice("support", support, ("split", "clade"))
    _choice("undefined", undefined, ("error", "nan"))
    threads = _threads(threads)
    bootstrap = _count("bootstrap", bootstrap)
    if bootstrap:
        seed = _bootstrap.resolve_seed(seed)
        _bootstrap.check_client(client)
    source, owned = load(data, format=format, names=names, missing=missing, alphabet=alphabet)
    if isinstance(source, _core.Distances):
        _refuse_model(model)
        if bootstrap:
            raise ValueError("bootstrap replicates resample alignment columns; "
                             "a distance matrix has none")
        alignment, matrix, model = None, source, None
    else:
        alignment, model = source, model_for(model, source.alphabet)
        matrix = _core.distances_from_alignment(alignment, model=model, threads=threads,
                                                undefined=undefined)
        owned = True
    identifiers = list(matrix.names)
    main = _core.build_tree(matrix, consume=owned and not keep_distances)
    counts = None
    if bootstrap:
        counts = _bootstrap.count(alignment, main, bootstrap, seed, model=model,
                                  support=support, threads=threads, undefined=undefined,
                                  progress=progress, client=client)
    newick = main.newick(counts, replicates=bootstrap, percent=bool(percent), support=support)
    result = Tree(newick, identifiers, model=model, bootstrap=bootstrap,
                  seed=seed if bootstrap else None, support=support, percent=bool(percent),
                  counts=counts)
    return result, Distances(matrix) if keep_distances else None


def _check_reading(missing, alphabet):
    _choice("missing", missing, ("skip", "literal"))
    _choice("alphabet", alphabet, ("auto", "dna", "protein"))


def _choice(name, value, options):
    if value not in options:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, options))}, not {value!r}")


def _count(name, value):
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    value = operator.index(value)
    if value < 0:
        raise ValueError(f"{name} must be 0 or more, not {value}")
    return value


def _threads(threads):
    if threads is None:
        try:
            return len(os.sched_getaffinity(0))
        except AttributeError:  # not on Linux
            return os.cpu_count() or 1
    threads = _count("threads", threads)
    if threads == 0:
        raise ValueError("threads must be 1 or more")
    return threads


def _refuse_model(model):
    if model is not None:
        raise ValueError("a model applies to alignments; a distance matrix is already computed")
