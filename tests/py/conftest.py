"""Shared inputs for the tests of the _nj_py module."""

import os

import pytest

import _nj_py

# scripts/sanitize preloads the AddressSanitizer runtime. Its operator new
# ends the process instead of throwing when an allocation fails, and freed
# memory is held back for a while, so tests of out-of-memory behaviour and of
# memory growth cannot run under it.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
real_allocator = pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator aborts on failure")
# The tests of njkit's Python layer and command run no code that the
# sanitizers watch, and under them the leak check reports what numpy,
# matplotlib and pandas keep until the process ends: they run in the plain
# suite only.
collect_ignore_glob = ["njkit/test_kit_*.py"] if SANITIZED else []

# Four DNA sequences; every accepted configuration form below describes
# exactly this input and must give exactly the tree the plain dict gives.
ROWS = [
    ("human", "ACGTACGTAC"),
    ("chimp", "ACGTACGTTC"),
    ("mouse", "ACCTACGAAC"),
    ("fly", "TCCAACGAAG"),
]
MODEL = "Kimura2P"


def msa_dicts(rows=ROWS):
    return [{"identifier": name, "sequence": seq} for name, seq in rows]


def config(msa=None, n_bootstrap_samples=0, substitution_model=MODEL, **extra):
    cfg = {
        "msa": msa_dicts() if msa is None else msa,
        "n_bootstrap_samples": n_bootstrap_samples,
        "substitution_model": substitution_model,
    }
    cfg.update(extra)
    return cfg


@pytest.fixture(scope="session")
def reference_tree():
    """The tree of ROWS under MODEL without replicates, read from the plain dict."""
    tree = _nj_py.nj(config())
    assert isinstance(tree, str) and tree.endswith(";")
    return tree


def leaf_names(newick):
    """The leaf labels of a Newick text without quoting (enough for ROWS)."""
    names = []
    for token in newick.rstrip(";").replace("(", ",").replace(")", ",").split(","):
        name = token.split(":")[0]
        if name and not name[0].isdigit():
            names.append(name)
    return names
