"""Bootstrap replicates: every count of supports goes through `count`, so that
another way of running the replicates (on other machines) plugs in here."""

import operator
import os

import numpy as np

from . import _core

SEED_LIMIT = 2**64


def resolve_seed(seed):
    """The seed to run with: `seed` checked, or 64 bits from the operating
    system when it is None."""
    if seed is None:
        return int.from_bytes(os.urandom(8), "little")
    if isinstance(seed, bool):
        raise TypeError("seed must be an integer, not bool")
    seed = operator.index(seed)
    if not 0 <= seed < SEED_LIMIT:
        raise ValueError(f"seed must be in 0 .. 2**64-1, not {seed}")
    return seed


def check_client(client):
    """Refuses, before any work is done, a client that cannot run replicates."""
    if client is not None:
        from . import _dask

        _dask.check_client(client)


def count(alignment, tree, replicates, seed, *, model, support, threads, undefined,
          progress=None, client=None):
    """Support counts of replicates 0 .. replicates-1 drawn with `seed`, as a
    numpy uint64 array keyed by inner node of the main tree."""
    check_client(client)
    if client is not None:
        from . import _dask

        raw = _dask.count_support(client, alignment, tree, model=model, seed=seed,
                                  count=replicates, support=support, undefined=undefined,
                                  on_progress=progress)
    else:
        raw = _core.count_support(alignment, tree, model=model, seed=seed, first=0,
                                  count=replicates, support=support, threads=threads,
                                  undefined=undefined, on_progress=progress)
    return np.frombuffer(raw, dtype=np.uint64).copy()
