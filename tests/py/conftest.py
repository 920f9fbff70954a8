"""Shared inputs and guards for the tests of the _nj_py module."""

import contextlib
import faulthandler
import os
import signal
import subprocess
import sys

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


@contextlib.contextmanager
def signal_handler(signum, handler):
    """Installs `handler` for the enclosed code. A test never relies on the
    handlers it inherits: a background job of a shell starts with SIGINT
    ignored, and Python then installs no KeyboardInterrupt handler."""
    previous = signal.signal(signum, handler)
    try:
        yield
    finally:
        signal.signal(signum, previous)


class Overran(BaseException):
    """Raised by the watchdog into a test that ran too long."""


WATCHDOG_TIMER = ("import os, signal, sys, time\n"
                  "time.sleep(float(sys.argv[2]))\n"
                  "os.kill(int(sys.argv[1]), signal.SIGUSR1)\n")


@contextlib.contextmanager
def watchdog(seconds=60):
    """Bounds code that could run for ever (a run waiting for a signal that
    never comes). A timer process sends SIGUSR1 after `seconds`, and its
    handler raises Overran at nj's next signal check, which fails the test.
    Should nj check signals no more, faulthandler ends the whole process a
    minute later, with every thread's traceback: the suite fails, never hangs."""
    def overran(signum, frame):
        raise Overran(f"still running after {seconds} s")

    with signal_handler(signal.SIGUSR1, overran):
        timer = subprocess.Popen([sys.executable, "-c", WATCHDOG_TIMER, str(os.getpid()), str(seconds)])
        faulthandler.dump_traceback_later(seconds + 60, exit=True)
        try:
            yield
        finally:
            faulthandler.cancel_dump_traceback_later()
            timer.kill()
            timer.wait()
