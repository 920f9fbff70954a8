"""Replicates counted on a LocalCluster of two worker processes give exactly
the local counts, whatever the batching, a killed worker, an interrupt or an
error on a worker."""

import faulthandler
import os
import signal
import time

import numpy as np
import pytest

import distributed
import njkit
from kit_samples import run_cli
from njkit import _core, _dask

MODEL = "Kimura2P"
SEED = 20260
# The cluster's worker processes would inherit a preloaded sanitizer runtime
# and report the leaks of Dask's own modules at exit; the counting they run is
# the core's, which the sanitized suites check without Dask.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="worker processes under the sanitizer")

# Short tasks, so that a run of the small alignment below has many batches.
TINY_TASK_SECONDS = 0.02


class Watchdog(Exception):
    pass


@pytest.fixture(autouse=True)
def watchdog():
    """Fails a test that runs for a minute; ends the process if even that hangs."""
    def expire(signum, frame):
        raise Watchdog("the test ran for a minute")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(60)
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def random_rows(n=24, length=300, seed=3):
    """Mutated copies of one sequence, with a few gaps (none in the first column)."""
    rng = np.random.default_rng(seed)
    letters = np.frombuffer(b"ACGT", dtype=np.uint8)
    base = rng.integers(0, 4, length)
    rows = []
    for k in range(n):
        seq = letters[np.where(rng.random(length) < 0.15, rng.integers(0, 4, length), base)]
        seq[1:][rng.random(length - 1) < 0.02] = ord("-")
        rows.append((f"t{k}", seq.tobytes().decode()))
    return rows


def encoded(rows):
    ids, seqs = zip(*rows)
    aln = _core.alignment_from_sequences(list(ids), list(seqs), missing="skip")
    tree = _core.build_tree(_core.distances_from_alignment(aln, model=MODEL))
    return aln, tree


@pytest.fixture(scope="module")
def main_tree():
    return encoded(random_rows())


def local_counts(aln, tree, count, support="split", threads=2):
    return _core.count_support(aln, tree, model=MODEL, seed=SEED, first=0, count=count,
                               support=support, threads=threads)


def no_tasks_left(client):
    """Waits (under the watchdog) until the scheduler has forgotten every batch
    and every copy of the data of the counts."""
    def ours(dask_scheduler):
        return [key for key in dask_scheduler.tasks if str(key).startswith("njkit-")]

    while client.run_on_scheduler(ours):
        time.sleep(0.05)


def test_counts_equal_local_counts_for_any_batching(client, main_tree):
    aln, tree = main_tree
    for support, count, target in [("split", 300, TINY_TASK_SECONDS), ("clade", 300, 30.0),
                                   ("split", 1, TINY_TASK_SECONDS), ("split", 0, 1.0)]:
        calls = []
        counts = _dask.count_support(client, aln, tree, model=MODEL, seed=SEED, count=count,
                                     support=support, target_seconds=target,
                                     on_progress=lambda done, total: calls.append((done, total)))
        assert counts == local_counts(aln, tree, count, support), (support, count, target)
        done = [d for d, _ in calls]
        assert done == sorted(set(done)) and calls[-1:] == ([(count, count)] if count else [])


def test_tree_with_client_is_the_local_tree(client):
    rows = random_rows(n=12, length=200, seed=9)
    local = njkit.tree(rows, bootstrap=50, seed=SEED, threads=1, percent=True)
    remote = njkit.tree(rows, bootstrap=50, seed=SEED, threads=1, percent=True, client=client)
    assert remote.newick == local.newick and remote.seed == SEED
    assert np.array_equal(remote.counts, local.counts)


def test_a_worker_killed_mid_run_loses_nothing(client, main_tree):
    # The worker killed holds the counts of a batch that the client has not
    # fetched yet (the callback holds the client up while batches finish),
    # and, once Dask has dropped the extra copies, the only copy of the
    # alignment if it can.
    aln, tree = main_tree
    killed = []

    def holders(prefix):
        return {address for key, where in client.who_has().items()
                if str(key).startswith(prefix) for address in where}

    def kill_a_worker_holding_counts(done, total):
        while not killed:
            counts = holders("njkit-count-")
            if counts:
                client.amm.run_once()
                victim = min(counts & holders("njkit-alignment-") or counts)
                os.kill(client.run(os.getpid)[victim], signal.SIGKILL)
                killed.append(victim)
            time.sleep(0.01)

    counts = _dask.count_support(client, aln, tree, model=MODEL, seed=SEED, count=2000,
                                 target_seconds=TINY_TASK_SECONDS,
                                 on_progress=kill_a_worker_holding_counts)
    assert counts == local_counts(aln, tree, 2000)
    client.wait_for_workers(2)


def test_interrupt_cancels_the_tasks_and_leaves_the_cluster_usable(client, main_tree):
    aln, tree = main_tree

    def press_ctrl_c(done, total):
        signal.raise_signal(signal.SIGINT)

    with pytest.raises(KeyboardInterrupt):
        _dask.count_support(client, aln, tree, model=MODEL, seed=SEED, count=100_000,
                            target_seconds=TINY_TASK_SECONDS, on_progress=press_ctrl_c)
    no_tasks_left(client)
    assert _dask.count_support(client, aln, tree, model=MODEL, seed=SEED, count=40,
                               target_seconds=TINY_TASK_SECONDS) == local_counts(aln, tree, 40)


def test_a_worker_error_is_the_local_error(client):
    # Two sequences share a single comparable column, so most replicates
    # compare nothing for them; the main tree still has a distance.
    rows = random_rows(n=6, length=60, seed=5)
    rows[0] = ("lonely", "A" + "-" * 59)
    rows[1] = ("alone", "A" + "N" * 59)
    aln, tree = encoded(rows)
    with pytest.raises(ValueError) as local:
        local_counts(aln, tree, 200, threads=1)
    with pytest.raises(ValueError) as remote:
        _dask.count_support(client, aln, tree, model=MODEL, seed=SEED, count=200,
                            target_seconds=TINY_TASK_SECONDS)
    assert str(remote.value) == str(local.value)
    no_tasks_left(client)


def test_command_line_on_a_cluster(client, tmp_path):
    fasta = tmp_path / "small.fa"
    fasta.write_text("".join(f">{name}\n{seq}\n" for name, seq in random_rows(n=10, length=120)))
    common = [fasta, "-b", 30, "--seed", SEED, "-q"]
    local = run_cli(*common, timeout=50)
    assert local.returncode == 0
    for address in ("local:2", client.scheduler.address):
        remote = run_cli(*common, "--dask", address, timeout=50)
        assert (remote.returncode, remote.stderr, remote.stdout) == (0, "", local.stdout)
    assert client.submit(sum, [1, 2], pure=False).result() == 3  # still up
    bad = run_cli(*common, "--dask", "local:0", timeout=50)
    assert bad.returncode != 0 and bad.stdout == ""
    assert bad.stderr.strip().count("\n") == 0 and "local:W" in bad.stderr
