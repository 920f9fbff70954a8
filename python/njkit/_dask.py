"""Bootstrap replicates counted on a Dask cluster.

Replicate k of a run is fully determined by the seed and k, so batches of
replicate indices can run on any worker, in any order, any number of times:
the client adds each batch's integer counts once, and the sum is the counts a
single local call gives, byte for byte.

The encoded alignment and the main tree are sent to the cluster once.
Each task counts one batch with one core thread; a worker of T threads runs
T batches at once, so its cores are busy without oversubscription and Dask
can still move queued batches between workers. Batches are submitted as
earlier ones finish, sized from the compute time the workers measured so
that a task lasts seconds and Dask's cost per task (milliseconds) is noise.
"""

from __future__ import annotations

import contextlib
import logging
import os
import queue
import time
import uuid
import warnings

import numpy as np

from ._extras import require

# A task computes for about TARGET_SECONDS; near the end of a run the batches
# shrink (never below FLOOR_SECONDS) so that the workers finish together.
TARGET_SECONDS = 3.0
FLOOR_SECONDS = 0.5
# A batch is at most RAMP times the largest batch measured so far, so that one
# optimistic first measurement cannot make a task of minutes.
RAMP = 8
# Batches in flight per worker thread: one computing, one waiting on the
# worker so that it never idles between tasks.
IN_FLIGHT_PER_THREAD = 2
# How often the waiting client wakes up (signal handlers run then).
POLL_SECONDS = 0.05


def import_distributed(purpose):
    """The `distributed` module, or MissingExtraError naming the extra."""
    return require("distributed", "dask", purpose)


def check_client(client):
    """Refuses, before any work, a client= that is not a synchronous Dask client."""
    distributed = import_distributed("client=")
    if not isinstance(client, distributed.Client):
        raise TypeError(f"client= must be a distributed.Client, not {type(client).__name__}")
    if client.asynchronous:
        raise ValueError("client= must be a synchronous distributed.Client, not an "
                         "asynchronous one")


def count_batch(aln, tree, model, seed, first, count, support, undefined):
    """One task: the counts of replicates [first, first+count) and the seconds spent."""
    from njkit import _core

    start = time.perf_counter()
    counts = _core.count_support(aln, tree, model=model, seed=seed, first=first, count=count,
                                 support=support, threads=1, undefined=undefined)
    return counts, time.perf_counter() - start


def check_workers(client):
    """Every worker must count with this process's njkit, or the supports would differ."""
    def installed_version():
        # Defined here so that it travels by value: it must run where njkit is missing.
        from importlib import metadata

        try:
            return metadata.version("njkit")
        except metadata.PackageNotFoundError:
            return None

    ours = installed_version()
    for address, version in sorted(client.run(installed_version).items()):
        if version is None:
            raise RuntimeError(f"the Dask worker {address} has no njkit: "
                               "install njkit[dask] on the workers")
        if version != ours:
            raise RuntimeError(f"the Dask worker {address} has njkit {version}, this process "
                               f"{ours}: every worker must run the same njkit version")


def hold(value):
    """A task whose result is its argument."""
    return value


def send_once(client, run_id, aln, tree):
    """Futures of the alignment and the main tree on the cluster.

    Scattered data has no lineage: Dask's memory manager soon keeps a single
    replica, and when the worker holding it dies every task that needs it is
    forgotten. As results of tasks that hold them, the two go to the
    scheduler once, the workers fetch them from each other, and Dask makes
    them again when they are lost.
    """
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Sending large graph", category=UserWarning)
        return [client.submit(hold, value, key=f"njkit-{name}-{run_id}", pure=False)
                for name, value in (("alignment", aln), ("main-tree", tree))]


class BatchSizer:
    """Batch sizes from the compute time the workers have measured."""

    def __init__(self, target_seconds=TARGET_SECONDS, floor_seconds=FLOOR_SECONDS):
        self.target_seconds = target_seconds
        self.floor_seconds = min(floor_seconds, target_seconds)
        self.replicates = 0
        self.seconds = 0.0
        self.largest = 0

    def record(self, count, seconds):
        self.replicates += count
        self.seconds += seconds
        self.largest = max(self.largest, count)

    def next_size(self, remaining, slots):
        """The next batch: a target-long task, smaller near the end, one until measured."""
        if self.largest == 0:
            return 1
        per_replicate = max(self.seconds / self.replicates, 1e-9)
        size = min(self.target_seconds / per_replicate,
                   max(self.floor_seconds / per_replicate, remaining / (2 * slots)))
        size = min(size, RAMP * self.largest)
        return int(max(1, min(size, remaining)))


class DistributedCount:
    """One distributed count of replicates [first, first+count) against a main tree."""

    def __init__(self, client, aln, tree, *, model, seed, first, count, support, undefined,
                 on_progress, sizer):
        self.client = client
        self.task_args = (model, seed)
        self.task_kwargs = dict(support=support, undefined=undefined)
        self.first, self.end = first, first + count
        self.on_progress = on_progress
        self.sizer = sizer
        self.next_first = first
        self.done = 0
        self.totals = np.zeros(tree.n - 1, dtype=np.uint64)
        self.in_flight = {}           # future key -> (future, first replicate, batch size)
        self.finished = queue.SimpleQueue()
        self.failure = None           # (first replicate, future) of the earliest failed batch
        self.run_id = uuid.uuid4().hex
        self.slots = 1
        self.slots_checked = -1.0
        self.data = send_once(client, self.run_id, aln, tree)
        self.tasks = 0
        self.task_seconds = 0.0

    def run(self):
        try:
            self.submit_batches()
            while self.in_flight:
                self.collect(self.wait_for_one())
                self.submit_batches()
            if self.failure is not None:
                self.failure[1].result()  # raises the worker's exception as it is
                raise RuntimeError("internal failure: a failed batch of replicates has a result")
            return self.totals.tobytes()
        finally:
            self.cancel([batch[0] for batch in self.in_flight.values()])
            self.in_flight.clear()
            self.cancel(self.data)

    def cancel(self, futures):
        if futures:
            with contextlib.suppress(Exception):
                self.client.cancel(futures)

    def refresh_slots(self):
        # Workers come and go (adaptive clusters, restarts): look again now and then.
        now = time.monotonic()
        if now - self.slots_checked >= 1.0:
            threads = sum(self.client.nthreads().values())
            self.slots = max(1, threads) * IN_FLIGHT_PER_THREAD
            self.slots_checked = now

    def submit_batches(self):
        if self.failure is not None:
            return
        self.refresh_slots()
        while self.next_first < self.end and len(self.in_flight) < self.slots:
            remaining = self.end - self.next_first
            size = self.sizer.next_size(remaining, self.slots)
            self.submit(self.next_first, size)
            self.next_first += size

    def submit(self, first, size):
        aln, tree = self.data
        key = f"njkit-count-{self.run_id}-{first}"
        future = self.client.submit(count_batch, aln, tree, *self.task_args, first, size,
                                    key=key, pure=False, **self.task_kwargs)
        self.in_flight[key] = (future, first, size)
        future.add_done_callback(self.finished.put)

    def wait_for_one(self):
        while True:
            try:
                future = self.finished.get(timeout=POLL_SECONDS)
            except queue.Empty:
                continue
            if future.key in self.in_flight:
                return future

    def collect(self, future):
        status = future.status
        if status in ("pending", "lost"):
            # Its result was on a worker that died before we fetched it: Dask
            # computes it again, and the future reports when it is done.
            future.add_done_callback(self.finished.put)
            return
        _, first, batch = self.in_flight.pop(future.key)
        if status != "finished":
            self.record_failure(first, future)
            return
        counts, seconds = future.result()
        self.totals += np.frombuffer(counts, dtype=np.uint64)
        self.sizer.record(batch, seconds)
        self.tasks += 1
        self.task_seconds += seconds
        self.done += batch
        if self.on_progress is not None and self.failure is None:
            self.on_progress(self.done, self.end - self.first)

    def record_failure(self, first, future):
        # The error the caller sees is that of the lowest failing batch, as a
        # single local call that stops at the first failing replicate would
        # report; batches after it are dropped, earlier ones still finish.
        if self.failure is None or first < self.failure[0]:
            self.failure = (first, future)
        later = [key for key, (_, start, _) in self.in_flight.items() if start > first]
        self.cancel([self.in_flight.pop(key)[0] for key in later])


def count_support(client, aln, tree, *, model, seed, first=0, count, support="split",
                  undefined="error", on_progress=None, target_seconds=TARGET_SECONDS):
    """`_core.count_support` with its batches run on the workers of a Dask client.

    Returns the same n-1 native uint64 counts; on_progress(done, count) runs on
    the calling thread after each finished batch. An error of a batch is raised
    as the worker raised it; on any exception (KeyboardInterrupt included) the
    outstanding tasks and the data sent for the run are released, and the cluster
    stays usable.
    """
    if count == 0:
        return np.zeros(tree.n - 1, dtype=np.uint64).tobytes()
    check_workers(client)
    run = DistributedCount(client, aln, tree, model=model, seed=seed, first=first, count=count,
                           support=support, undefined=undefined, on_progress=on_progress,
                           sizer=BatchSizer(target_seconds))
    return run.run()


def cpu_count():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def parse_local_workers(address):
    """W of a "local:W" address, or None for the address of a running scheduler."""
    if not address.startswith("local:"):
        return None
    text = address[len("local:"):]
    if not text.isdigit() or int(text) < 1:
        raise ValueError(f"local:W needs a whole number of workers W of 1 or more, not {text!r}")
    return int(text)


@contextlib.contextmanager
def connect(address):
    """A Client of the scheduler at address, or of a LocalCluster of W worker
    processes for "local:W" (started here, closed on the way out)."""
    workers = parse_local_workers(address)
    distributed = import_distributed("--dask")
    if workers is None:
        with distributed.Client(address) as client:
            yield client
        return
    # Port 0: any free port, so that runs side by side neither collide nor warn.
    with distributed.LocalCluster(n_workers=workers, processes=True,
                                  threads_per_worker=max(1, cpu_count() // workers),
                                  dashboard_address=":0", silence_logs=logging.CRITICAL) as cluster:
        with distributed.Client(cluster) as client:
            yield client
