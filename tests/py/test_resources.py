"""A long-lived process can call nj any number of times: memory stays flat on
every path, large identifiers and deep trees pass through, and calls from
several threads at once all give their own right answer."""

import gc
import os
import random
import re
import signal
import sys
import threading

import pytest

import _nj_py
from conftest import SANITIZED, config, signal_handler, watchdog

CALLS = 10_000
# A leak of anything that scales with the input shows as at least 4 KB a
# call, 40 MB over all calls.
ROW_LENGTH = 1024
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def big_rows(seed=1):
    rng = random.Random(seed)
    return [{"identifier": f"row{k}-" + "x" * ROW_LENGTH,
             "sequence": "".join(rng.choice("ACGT") for _ in range(ROW_LENGTH))}
            for k in range(4)]


def swallow(done, total):
    raise ValueError("discarded")


def panic(done, total):
    raise _nj_py.PanicException("from the callback")


def interrupt(done, total):
    raise KeyboardInterrupt


ROWS = big_rows()
UNEQUAL = ROWS + [{"identifier": "short", "sequence": "ACGT"}]
# Dict entries are read last first: the faulty entry comes first in each of
# these, so that the whole msa is read before the failure.
PATHS = {
    "success": ((config(ROWS),), None),
    "success with replicates and a callback": ((config(ROWS, 2), lambda done, total: None), None),
    "callback exceptions discarded": ((config(ROWS, 2), swallow), None),
    "callback PanicException": ((config(ROWS, 2), panic), _nj_py.PanicException),
    "callback KeyboardInterrupt": ((config(ROWS, 2), interrupt), KeyboardInterrupt),
    "reader ValueError": (({"n_bootstrap_samples": -1, "msa": ROWS, "substitution_model": "PDiff"},),
                          ValueError),
    "run ValueError": ((config(ROWS, substitution_model="Poisson"),), ValueError),
    "reader PanicException": (({"extra": {1}, "msa": ROWS, "n_bootstrap_samples": 0,
                                "substitution_model": "PDiff"},), _nj_py.PanicException),
    "run PanicException": ((config(UNEQUAL, 2),), _nj_py.PanicException),
    "TypeError, three positional arguments": ((config(ROWS), None, 3), TypeError),
}


def call(args, expected):
    if expected is None:
        assert _nj_py.nj(*args).endswith(";")
    else:
        with pytest.raises(expected):
            _nj_py.nj(*args)


@pytest.fixture
def quiet_stderr(monkeypatch):
    """The panic paths write to sys.stderr on every call; a plain file takes
    that, where pytest's capture would keep growing."""
    with open(os.devnull, "w") as sink:
        monkeypatch.setattr(sys, "stderr", sink)
        yield


@pytest.mark.parametrize("args, expected", PATHS.values(), ids=PATHS.keys())
def test_memory_is_flat_over_many_calls(args, expected, quiet_stderr):
    for _ in range(200):  # settles caches, arenas and lazily created state
        call(args, expected)
    gc.collect()  # exceptions and their tracebacks form cycles
    blocks = sys.getallocatedblocks()
    resident = resident_bytes()
    for _ in range(CALLS):
        call(args, expected)
    gc.collect()
    # Python objects: a few blocks of slack, against one leaked object (and
    # so 10,000 blocks) a call.
    assert sys.getallocatedblocks() - blocks < 100
    if not SANITIZED:  # the sanitizer holds freed memory back for a while
        assert resident_bytes() - resident < 8 * 2**20


def test_memory_is_flat_when_signals_stop_runs():
    """A signal handler that raises stops the run between units of work; the
    run's alignment, matrices and trees are released on the way out."""
    def stop(signum, frame):
        raise KeyboardInterrupt

    def run_until_stopped():
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.001)
            _nj_py.nj(config(ROWS, 2**63 - 1))
        except KeyboardInterrupt:
            return 1
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        return 0

    with watchdog(), signal_handler(signal.SIGALRM, stop):
        for _ in range(50):
            run_until_stopped()
        resident = resident_bytes()
        stopped = sum(run_until_stopped() for _ in range(1000))
    assert stopped == 1000
    if not SANITIZED:
        assert resident_bytes() - resident < 8 * 2**20


def quoted(name):
    return "'" + name.replace("'", "''") + "'"


def test_megabyte_identifiers():
    big = 2**20
    names = ["p" * big, "q r's," * (big // 6), "\u00e9\u4e2d" * (big // 5)]
    rows = [{"identifier": n, "sequence": s} for n, s in zip(names, ["AAAA", "AAAT", "TTTT"])]
    tree = _nj_py.nj(config(rows, substitution_model="PDiff"))
    leaves = [names[0], quoted(names[1]), names[2]]
    assert sorted(re.findall(r"(?:'(?:[^']|'')*'|[^(),:;']+)(?=:)", tree), key=len) == \
        sorted(leaves, key=len)
    resident = resident_bytes()
    for _ in range(30):
        assert _nj_py.nj(config(rows, substitution_model="PDiff")) == tree
    if not SANITIZED:
        assert resident_bytes() - resident < 16 * 2**20  # a leaked copy of the names: 3 MB a call


def caterpillar(n):
    """The tree of n identical sequences: every Q value ties, and ties go to
    the first pair in scan order, so each join takes the next leaf."""
    subtree = "s0:0.000"
    for k in range(1, n - 1):
        subtree = f"(s{k}:0.000,{subtree}):0.000"
    return f"({subtree},s{n - 1}:0.000);"


def test_caterpillar_tree_on_a_small_stack():
    """A tree as deep as it has leaves is built, counted, written and released
    without recursion: here on a thread whose stack holds far less than one
    C frame per level."""
    n = 1200
    assert _nj_py.nj(config([{"identifier": f"s{k}", "sequence": "A"} for k in range(4)])) == \
        caterpillar(4)
    rows = [{"identifier": f"s{k}", "sequence": "ACGT"} for k in range(n)]
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(_nj_py.nj(config(rows, 1))))
    old = threading.stack_size((1024 if SANITIZED else 64) * 1024)
    try:
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    # The replicate is the same caterpillar, so every clade has support 1.
    labelled = caterpillar(n).replace("):", ")1:")
    assert outcome == [labelled]


def test_concurrent_calls_from_threads():
    """Callbacks let other threads run in the middle of a call, so calls from
    several threads interleave; each still gets its own tree."""
    rng = random.Random(5)
    configs = [config([{"identifier": f"t{t}s{k}", "sequence": "".join(rng.choice("ACGT") for _ in range(40))}
                       for k in range(12)], 3) for t in range(6)]
    without_support = [re.sub(r"\)\d+", ")", _nj_py.nj(c)) for c in configs]
    failures = []
    start = threading.Barrier(len(configs))
    inside = [0]         # calls under way
    most_inside = [0]    # the most seen under way at once, from a callback
    counting = threading.Lock()

    def progress(done, total):
        most_inside[0] = max(most_inside[0], inside[0])
        os.sched_yield()

    def worker(t):
        start.wait()
        for _ in range(40):
            with counting:
                inside[0] += 1
            tree = _nj_py.nj(configs[t], progress)
            with counting:
                inside[0] -= 1
            if re.sub(r"\)\d+", ")", tree) != without_support[t]:
                failures.append((t, tree))

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(len(configs))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(previous)
    assert failures == []
    assert most_inside[0] > 1, "the calls did not interleave"
