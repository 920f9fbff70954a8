#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Speed of njkit's core against its targets, each ratio measured in one run
with the variants interleaved, as medians of --repeats runs.

* fasta: a FASTA file of 10,000 sequences of 29,903 columns (about 300 MB,
  near-identical genomes) read and encoded by njkit._core.read_fasta, in MB/s
  (target: 300 MB/s or more);
* threads: 100 bootstrap replicates of 1,000 sequences of 1,000 columns
  (Kimura2P, split support) on 1 and on 2 threads (target: 2 threads at least
  1.8 times as fast);
* endtoend: the tree of 4,000 sequences of 1,000 columns from a FASTA file
  through njkit (reading, distances, tree, Newick; one thread) against
  _nj_py.nj with the file read in Python (target: at most 1.1 times _nj_py's
  time).

    python3 benchmarks/njkit_speed.py                  # all three
    python3 benchmarks/njkit_speed.py threads --repeats 5

Inputs are generated once into benchmarks/.cache/ (--workdir).
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate  # noqa: E402

import _nj_py  # noqa: E402
from njkit import _core  # noqa: E402


def fasta_input(workdir: Path, n: int, length: int, height: float) -> Path:
    path = workdir / f"dna_{n}x{length}_h{height}.fa"
    if not path.exists():
        ids, seqs = generate.generate(generate.Settings(n=n, length=length, height=height))
        part = path.with_suffix(".part")
        generate.write_fasta(str(part), ids, seqs)
        part.rename(path)
    return path


def timed(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def interleaved(variants: dict, repeats: int) -> dict[str, float]:
    """Median seconds of each variant, the variants taking turns."""
    times = {name: [] for name in variants}
    for _ in range(repeats):
        for name, call in variants.items():
            times[name].append(timed(call))
    return {name: statistics.median(values) for name, values in times.items()}


def bench_fasta(workdir: Path, repeats: int) -> None:
    path = fasta_input(workdir, 10_000, 29_903, 0.01)
    size = path.stat().st_size
    medians = interleaved({
        missing: lambda missing=missing: _core.read_fasta(path, missing=missing)
        for missing in ("skip", "literal")}, repeats)
    for missing, seconds in medians.items():
        print(f"fasta  {size / 1e6:.0f} MB, missing={missing}: {seconds:.2f} s, "
              f"{size / seconds / 1e6:.0f} MB/s (target >= 300)")


def bench_threads(workdir: Path, repeats: int) -> None:
    aln = _core.read_fasta(fasta_input(workdir, 1000, 1000, 0.15), missing="skip")
    tree = _core.build_tree(_core.distances_from_alignment(aln, model="Kimura2P"))
    results = {}

    def run(threads):
        results[threads] = _core.count_support(aln, tree, model="Kimura2P", seed=1, first=0,
                                               count=100, threads=threads)

    medians = interleaved({1: lambda: run(1), 2: lambda: run(2)}, repeats)
    assert results[1] == results[2], "thread counts gave different supports"
    print(f"threads  n=1000 N=100: 1 thread {medians[1]:.2f} s, 2 threads {medians[2]:.2f} s, "
          f"speed-up {medians[1] / medians[2]:.2f} (target >= 1.8)")


def nj_py_from_file(path: Path) -> str:
    ids, seqs = generate.read_fasta(str(path))
    return _nj_py.nj({"msa": [{"identifier": i, "sequence": s} for i, s in zip(ids, seqs)],
                      "n_bootstrap_samples": 0, "substitution_model": "Kimura2P"})


def core_from_file(path: Path, missing: str) -> str:
    aln = _core.read_fasta(path, missing=missing)
    dist = _core.distances_from_alignment(aln, model="Kimura2P", threads=1)
    return _core.build_tree(dist, consume=True).newick()


def bench_endtoend(workdir: Path, repeats: int) -> None:
    path = fasta_input(workdir, 4000, 1000, 0.15)
    variants = {
        "_nj_py.nj": lambda: nj_py_from_file(path),
        "_core, literal": lambda: core_from_file(path, "literal"),
        "_core, skip": lambda: core_from_file(path, "skip"),
    }
    try:
        import njkit
        if hasattr(njkit, "tree"):
            variants["njkit.tree"] = lambda: njkit.tree(str(path), model="Kimura2P", threads=1)
    except ImportError:
        pass
    assert core_from_file(path, "literal") == nj_py_from_file(path), "trees differ"
    medians = interleaved(variants, repeats)
    base = medians["_nj_py.nj"]
    for name, seconds in medians.items():
        print(f"endtoend  n=4000 L=1000, {name}: {seconds:.2f} s, {seconds / base:.2f} x _nj_py.nj"
              + ("" if name == "_nj_py.nj" else " (target <= 1.1)"))


BENCHES = {"fasta": bench_fasta, "threads": bench_threads, "endtoend": bench_endtoend}


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("benches", nargs="*", choices=[*BENCHES, []], default=list(BENCHES))
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--workdir", type=Path, default=HERE / ".cache")
    args = parser.parse_args(argv)
    args.workdir.mkdir(parents=True, exist_ok=True)
    print(f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}")
    for name in args.benches or BENCHES:
        BENCHES[name](args.workdir, args.repeats)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
