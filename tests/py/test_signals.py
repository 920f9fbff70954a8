"""Ctrl-C and other signal handlers reach a long run: a handler that raises
abandons the run and its exception comes out of nj; one that returns lets
the run go on undisturbed."""

import os
import random
import re
import signal
import subprocess
import sys
import time

import pytest

import _nj_py
from conftest import config

TICK = 0.005


def random_config(n, length, n_bootstrap_samples, seed=7):
    rng = random.Random(seed)
    msa = [{"identifier": f"s{k}", "sequence": "".join(rng.choice("ACGT") for _ in range(length))}
           for k in range(n)]
    return config(msa=msa, n_bootstrap_samples=n_bootstrap_samples, substitution_model="JukesCantor")


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
    "cfg",
    [random_config(20, 50, 10**6), random_config(1500, 300, 0)],
    ids=["between replicates", "during one long tree"],
)
def test_raising_handler_abandons_the_run(cfg):
    with Ticker(raise_on=3) as ticker, pytest.raises(KeyboardInterrupt):
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


def test_interrupt_inside_the_callback():
    calls = []
    with Ticker(raise_on=3), pytest.raises(KeyboardInterrupt):
        _nj_py.nj(random_config(20, 50, 10**6), lambda done, total: calls.append(done))
    assert 0 < len(calls) < 10**6


def without_support(tree):
    return re.sub(r"\)\d+", ")", tree)


def test_returning_handler_leaves_the_run_undisturbed():
    cfg = random_config(60, 100, 100)
    expected = without_support(_nj_py.nj(cfg))
    with Ticker() as ticker:
        result = _nj_py.nj(cfg)
    assert without_support(result) == expected
    assert ticker.calls >= 2


def test_sigint_from_outside_raises_keyboard_interrupt():
    cfg = random_config(20, 50, 10**7)
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
    try:
        with pytest.raises(KeyboardInterrupt):
            _nj_py.nj(cfg)
    finally:
        killer.wait()



def test_sigint_ends_an_endless_bootstrap_promptly():
    """2**63 - 1 replicates would run for ever; Ctrl-C half a second in ends
    the call within 0.2 s, and the module works on afterwards. The signal
    comes from another process (no thread of this one runs while nj holds
    the interpreter), which notes the system-wide monotonic time it sent it."""
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
            _nj_py.nj(random_config(30, 60, 2**63 - 1))
        stopped = time.monotonic()
    finally:
        sent = float(sender.communicate(timeout=60)[0])
    assert 0 <= stopped - sent < 0.2
    assert _nj_py.nj(config()).endswith(";")
