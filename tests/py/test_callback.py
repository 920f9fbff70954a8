"""The progress callback: its arguments, and which of its exceptions stop the run."""

import re
import sys

import pytest

import _nj_py
from conftest import config

N = 3


def main_tree(tree):
    """The tree without its support counts (which vary from run to run)."""
    return re.sub(r"\)\d+", ")", tree)


@pytest.fixture(scope="module")
def plain_tree():
    return _nj_py.nj(config())


def test_progress_reports_each_replicate(plain_tree):
    calls = []
    tree = _nj_py.nj(config(n_bootstrap_samples=N), lambda *args, **kw: calls.append((args, kw)))
    assert calls == [((1, N), {}), ((2, N), {}), ((3, N), {})]
    assert all(type(a) is int for args, _ in calls for a in args)
    assert main_tree(tree) == plain_tree


def test_no_replicates_no_calls():
    calls = []
    _nj_py.nj(config(n_bootstrap_samples=0), lambda *args: calls.append(args))
    with pytest.raises(ValueError):
        _nj_py.nj(config(msa=[], n_bootstrap_samples=5), lambda *args: calls.append(args))
    assert calls == []


class Unprintable:
    def __repr__(self):
        raise RuntimeError("repr")


RESULTS = [None, 0, "stop", Unprintable(), NotImplemented, ValueError("returned, not raised")]


@pytest.mark.parametrize("result", RESULTS, ids=lambda r: type(r).__name__)
def test_return_values_are_ignored(result, plain_tree):
    tree = _nj_py.nj(config(n_bootstrap_samples=N), lambda done, total: result)
    assert main_tree(tree) == plain_tree


@pytest.mark.parametrize(
    "exception",
    [ValueError("bad"), RuntimeError("worse"), MemoryError(), ZeroDivisionError(), StopIteration()],
    ids=lambda e: type(e).__name__,
)
def test_ordinary_exceptions_are_discarded(exception, plain_tree, capsys):
    calls = []

    def callback(done, total):
        calls.append(done)
        raise exception

    tree = _nj_py.nj(config(n_bootstrap_samples=N), callback)
    assert calls == [1, 2, 3]
    assert main_tree(tree) == plain_tree
    assert sys.exc_info() == (None, None, None)
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("not_callable", [5, "text", [1]], ids=lambda v: type(v).__name__)
def test_non_callable_is_accepted(not_callable, plain_tree):
    assert main_tree(_nj_py.nj(config(n_bootstrap_samples=N), not_callable)) == plain_tree


@pytest.mark.parametrize(
    "exception", [KeyboardInterrupt(), SystemExit(2), GeneratorExit()],
    ids=lambda e: type(e).__name__,
)
def test_base_exceptions_stop_the_run(exception, capsys):
    calls = []

    def callback(done, total):
        calls.append(done)
        if done == 2:
            raise exception

    with pytest.raises(type(exception)) as raised:
        _nj_py.nj(config(n_bootstrap_samples=10), callback)
    assert raised.value is exception
    assert calls == [1, 2]
    assert capsys.readouterr().err == ""


class PanicAndException(_nj_py.PanicException, Exception):
    """Still a PanicException, though an Exception too."""


@pytest.mark.parametrize("panic", [_nj_py.PanicException, PanicAndException],
                         ids=lambda c: c.__name__)
def test_panic_from_callback_is_printed_and_propagates(panic, capsys):
    calls = []

    def failing_progress_callback(done, total):
        calls.append(done)
        raise panic("callback gave up")

    with pytest.raises(panic) as raised:
        _nj_py.nj(config(n_bootstrap_samples=10), failing_progress_callback)
    assert type(raised.value) is panic
    assert str(raised.value) == "callback gave up"
    assert calls == [1]
    err = capsys.readouterr().err
    assert "Traceback (most recent call last):" in err
    assert "in failing_progress_callback" in err
    assert err.rstrip().endswith(f"{panic.__module__}.{panic.__qualname__}: callback gave up")


def test_callback_may_run_nj_itself(plain_tree):
    inner = []
    tree = _nj_py.nj(config(n_bootstrap_samples=2), lambda done, total: inner.append(_nj_py.nj(config())))
    assert inner == [plain_tree, plain_tree]
    assert main_tree(tree) == plain_tree
