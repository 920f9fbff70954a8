"""Ctrl-C and other signal handlers reach a long read or run: a handler that
raises abandons it and its exception comes out of nj as raised; one that
returns lets the run go on undisturbed. Every run here that only a signal
can end is bounded by a watchdog."""

import os
import random
import signal
import subprocess
import sys
import time

import pytest

import _nj_py
from conftest import config, signal_handler, watchdog

TICK = 0.005
ENDLESS = 2**63 - 1
# Ctrl-C ends a run within milliseconds on an idle machine; the bound leaves
# room for a loaded one.
PROMPT_SECONDS = 2.0


def random_config(n, length, n_bootstrap_samples, seed=7):
    rng = random.Random(seed)
    msa = [{"identifier": f"s{k}", "sequence": "".join(rng.choice("ACGT") for _ in range(length))}
           for k in range(n)]
    return config(msa=msa, n_bootstrap_samples=n_bootstrap_samples, substitution_model="JukesCantor")


# One tree whose saturated distances make it take a quarter of a second on an
# idle machine: fifty ticks.
LONG_TREE = random_config(1000, 200, 0)


class Ticker:
    """Sends SIGALRM every TICK seconds while active. The handler counts its
    calls and raises KeyboardInterrupt from the `raise_on`-th one on. Signals
    that arrive while no Python code runs are merged into one, so several
    calls during one nj call show that nj let the handler run."""

    def __init__(self, raise_on=None):
        self.calls = 0
        self.raise_on = raise_on

    def handler(self, signum, frame):
        self.calls += 1
        if self.raise_on is not None and self.calls >= self.raise_on:
            signal.setitimer(signal.ITIMER_REAL, 0)
            raise KeyboardInterrupt

    def __enter__(self):
        self.previous = signal.signal(signal.SIGALRM, self.handler)
        signal.setitimer(signal.ITIMER_REAL, TICK, TICK)
        return self

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.previous)


@pytest.mark.parametrize(
    "cfg", [random_config(20, 50, ENDLESS), LONG_TREE], ids=["between replicates", "during one long tree"])
def test_raising_handler_abandons_the_run(cfg):
    with watchdog(), Ticker(raise_on=3) as ticker, pytest.raises(KeyboardInterrupt):
        _nj_py.nj(cfg)
    assert ticker.calls == 3
    assert _nj_py.nj(config()).endswith(";")


def test_raising_handler_stops_a_long_read():
    shared = []
    for _ in range(24):  # 2**24 lists to walk, though few distinct objects
        shared = [shared, shared]
    with Ticker(raise_on=3) as ticker, pytest.raises(KeyboardInterrupt):
        _nj_py.nj(config(comment=shared))
    assert ticker.calls == 3


def test_handler_runs_amid_a_huge_value_and_its_exception_comes_out_as_raised():
    """An unknown key's value is copied and walked only to be dropped; a
    signal a few milliseconds in is handled while the walk is still going
    through the list's items (the first one is still held), and even an
    ordinary Exception from the handler is not taken for a reader error."""
    first = float("1.5")  # a float object of its own, to count references to
    huge = [first] + [0] * (2 * 10**6)
    held = []

    def alarm(signum, frame):
        held.append(sys.getrefcount(first) - unheld)
        raise TimeoutError("alarm")

    unheld = sys.getrefcount(first)
    with signal_handler(signal.SIGALRM, alarm), pytest.raises(TimeoutError, match="^alarm$"):
        signal.setitimer(signal.ITIMER_REAL, TICK)
        try:
            _nj_py.nj(config(comment=huge))
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    assert len(held) == 1 and held[0] > 0


def test_raising_handler_stops_a_run_with_a_callback():
    calls = []
    with watchdog(), Ticker(raise_on=3), pytest.raises(KeyboardInterrupt):
        _nj_py.nj(random_config(20, 50, ENDLESS), lambda done, total: calls.append(done))
    assert calls and calls == list(range(1, len(calls) + 1))


def test_returning_handler_leaves_the_run_undisturbed():
    expected = _nj_py.nj(LONG_TREE)
    with Ticker() as ticker:
        result = _nj_py.nj(LONG_TREE)
    assert result == expected
    assert ticker.calls >= 2


def test_sigint_ends_an_endless_bootstrap_promptly():
    """Ctrl-C half a second into 2**63 - 1 replicates ends the call at once,
    and the module works on afterwards. The signal comes from another process
    (no thread of this one runs while nj holds the interpreter), which notes
    the system-wide monotonic time it sent it."""
    with watchdog(), signal_handler(signal.SIGINT, signal.default_int_handler):
        sender = subprocess.Popen(
            [sys.executable, "-c",
             "import os, signal, sys, time\n"
             "time.sleep(0.5)\n"
             "print(time.monotonic(), flush=True)\n"
             "os.kill(int(sys.argv[1]), signal.SIGINT)\n",
             str(os.getpid())],
            stdout=subprocess.PIPE, text=True)
        try:
            with pytest.raises(KeyboardInterrupt):
                _nj_py.nj(random_config(30, 60, ENDLESS))
            stopped = time.monotonic()
        finally:
            sent = float(sender.communicate(timeout=60)[0])
    assert 0 <= stopped - sent < PROMPT_SECONDS
    assert _nj_py.nj(config()).endswith(";")
