#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Bootstrap replicates per second: a Dask LocalCluster against local threads.

One seeded synthetic alignment and its main tree; the same replicates are
counted once with the core's own threads in this process and once on a
LocalCluster of worker processes, back to back in one run (the machine is
shared, so only the ratio means something). The two counts must be
identical. Reported for the cluster:

* replicates per second and the ratio to the local threads;
* the batch size the client chose and the mean compute time of a task;
* the overhead of the whole run, 1 - (compute time of all tasks) /
  (wall time x worker threads): sending the data, ramp-up, scheduling, the last
  tasks' uneven finish;
* the round trip of an empty batch (submit, schedule, run, result back), and
  that as a share of the mean task: the cost Dask adds to every task.

    python3 benchmarks/dask_bootstrap.py -n 1000 -L 1000 -b 400 --workers 2
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from generate import Settings, generate  # noqa: E402

import distributed  # noqa: E402
from njkit import _core, _dask  # noqa: E402

MODEL = "Kimura2P"


def main_tree(n, length, seed):
    ids, seqs = generate(Settings(n=n, length=length, seed=seed))
    aln = _core.alignment_from_sequences(ids, seqs, missing="skip")
    dist = _core.distances_from_alignment(aln, model=MODEL, threads=2)
    return aln, _core.build_tree(dist, consume=True)


def time_local(aln, tree, replicates, seed, threads):
    start = time.perf_counter()
    counts = _core.count_support(aln, tree, model=MODEL, seed=seed, first=0, count=replicates,
                                 threads=threads)
    return counts, time.perf_counter() - start


def time_cluster(client, aln, tree, replicates, seed, target_seconds):
    run = _dask.DistributedCount(client, aln, tree, model=MODEL, seed=seed, first=0,
                                 count=replicates, support="split", undefined="error",
                                 on_progress=None, sizer=_dask.BatchSizer(target_seconds))
    start = time.perf_counter()
    counts = run.run()
    return counts, time.perf_counter() - start, run


def empty_batch_round_trip(client, aln, tree, samples=20):
    data = _dask.send_once(client, "benchmark", aln, tree)
    times = []
    for _ in range(samples):
        start = time.perf_counter()
        client.submit(_dask.count_batch, *data, MODEL, 1, 0, 0, "split", "error",
                      pure=False).result()
        times.append(time.perf_counter() - start)
    client.cancel(data)
    return statistics.median(times)


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("-n", type=int, default=1000, help="sequences (default 1000)")
    ap.add_argument("-L", "--length", type=int, default=1000, help="columns (default 1000)")
    ap.add_argument("-b", "--bootstrap", type=int, default=400, help="replicates (default 400)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--workers", type=int, default=2, help="single-threaded worker processes")
    ap.add_argument("--threads", type=int, default=None,
                    help="local threads (default: as many as the cluster's workers)")
    ap.add_argument("--target-seconds", type=float, default=_dask.TARGET_SECONDS,
                    help="compute time a task aims at")
    return ap.parse_args(argv)


def main(argv):
    a = parse_args(argv)
    threads = a.threads or a.workers
    aln, tree = main_tree(a.n, a.length, a.seed)
    start = time.perf_counter()
    with distributed.LocalCluster(n_workers=a.workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        startup = time.perf_counter() - start
        local_counts, local_s = time_local(aln, tree, a.bootstrap, a.seed, threads)
        cluster_counts, cluster_s, run = time_cluster(client, aln, tree, a.bootstrap, a.seed,
                                                      a.target_seconds)
        round_trip = empty_batch_round_trip(client, aln, tree)
    if cluster_counts != local_counts:
        print("MISMATCH: the cluster's counts differ from the local counts", file=sys.stderr)
        return 1
    mean_task = run.task_seconds / run.tasks
    result = {
        "n": a.n, "length": a.length, "replicates": a.bootstrap, "workers": a.workers,
        "local_threads": threads, "cluster_startup_s": round(startup, 2),
        "local_replicates_per_s": round(a.bootstrap / local_s, 2),
        "cluster_replicates_per_s": round(a.bootstrap / cluster_s, 2),
        "cluster_over_local": round(local_s / cluster_s, 3),
        "tasks": run.tasks, "largest_batch": run.sizer.largest,
        "mean_task_s": round(mean_task, 3),
        "run_overhead": round(1 - run.task_seconds / (cluster_s * a.workers), 4),
        "empty_batch_round_trip_ms": round(1000 * round_trip, 2),
        "round_trip_over_mean_task": round(round_trip / mean_task, 4),
        "identical": True,
    }
    print(json.dumps(result, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
