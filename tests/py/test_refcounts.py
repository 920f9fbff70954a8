"""No path of nj leaks or steals a reference to what it was given."""

import dataclasses
import sys

import pytest

import _nj_py
from conftest import config, msa_dicts

CALLS = 1000


@dataclasses.dataclass
class Seq:
    identifier: str
    sequence: str


@dataclasses.dataclass
class Config:
    msa: list
    n_bootstrap_samples: int
    substitution_model: str


def discard(done, total):
    raise ValueError("ignored")


def counting(done, total):
    return None


def panicking(done, total):
    raise _nj_py.PanicException("from the callback")


def interrupting(done, total):
    raise KeyboardInterrupt


def tracked(cfg, callback):
    """Every object whose count a call must leave unchanged."""
    objects = [cfg, callback]
    msa = cfg["msa"] if isinstance(cfg, dict) else cfg.msa
    objects.append(msa)
    for element in msa:
        objects.append(element)
        if isinstance(element, dict):
            objects.extend(element.values())
    return objects


PATHS = {
    "success": (lambda: config(n_bootstrap_samples=2), counting, None),
    "success, discarded callback exceptions": (lambda: config(n_bootstrap_samples=2), discard, None),
    "success, dataclass": (
        lambda: Config([Seq(**s) for s in msa_dicts()], 1, "PDiff"), counting, None),
    "reader ValueError": (lambda: config(n_bootstrap_samples=-1), counting, ValueError),
    "reader ValueError from the interpreter": (
        lambda: config(n_bootstrap_samples=2**64), counting, ValueError),
    "run ValueError": (lambda: config(substitution_model="Poisson"), counting, ValueError),
    "reader PanicException": (lambda: config(extra={1}), counting, _nj_py.PanicException),
    "run PanicException": (
        lambda: config(msa=msa_dicts() + [{"identifier": "x", "sequence": "A"}]),
        counting, _nj_py.PanicException),
    "callback PanicException": (lambda: config(n_bootstrap_samples=2), panicking,
                                _nj_py.PanicException),
    "callback KeyboardInterrupt": (lambda: config(n_bootstrap_samples=2), interrupting,
                                   KeyboardInterrupt),
}


@pytest.mark.parametrize("make, callback, expected", PATHS.values(), ids=PATHS.keys())
def test_reference_counts_are_unchanged(make, callback, expected, capsys):
    cfg = make()
    objects = tracked(cfg, callback)

    def call():
        if expected is None:
            assert _nj_py.nj(cfg, callback).endswith(";")
        else:
            with pytest.raises(expected):
                _nj_py.nj(cfg, callback)
        capsys.readouterr()

    call()  # settles lazily created state (imports, cached UTF-8 of the texts)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(CALLS):
        call()
    after = [sys.getrefcount(o) for o in objects]
    assert after == before
