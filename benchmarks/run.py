#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Benchmark runner: our Neighbor-Joining against its plain baseline and the
peers, on seeded synthetic alignments, all measured in one run.

Every measurement runs in its own child process, so that its peak resident
set size is that child's alone (read from wait4's resource usage). Times are
medians of --repeats runs; a tool whose first run exceeds --repeat-limit is
measured once, and one that exceeds --timeout is stopped and reported as
"> limit" (and not run on larger inputs).

    python3 benchmarks/run.py                      # n = 500 ... 4,000
    python3 benchmarks/run.py --large              # adds 8,000 and 16,000
    python3 benchmarks/run.py --sizes 500,1000 --no-readme
    python3 benchmarks/run.py --series outbreak --sizes 3000,10000 --peers quicktree,anjl

Each series (--series) has its own results block in the README.
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import platform
import shlex
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate  # noqa: E402
import treecmp  # noqa: E402

BEGIN_MARK = "<!-- results:begin -->"
END_MARK = "<!-- results:end -->"
SERIES_TITLES = {"diverse": "diverse", "outbreak": "outbreak-like", "star": "star",
                 "random": "saturated (random sequences)"}


def marks(block: str) -> tuple[str, str]:
    """The comments around a block of results in the README."""
    if block == "diverse":
        return BEGIN_MARK, END_MARK
    return f"<!-- results-{block}:begin -->", f"<!-- results-{block}:end -->"


# ---------------------------------------------------------------- processes

@dataclass
class Outcome:
    """One child process: wall time, peak RSS, exit status and output."""

    wall: float
    rss_kib: int
    code: int
    stdout: str
    stderr: str
    timed_out: bool


GNU_TIME = "/usr/bin/time"

# Every comparison is single-threaded. The Python workers import NumPy to
# read their inputs, and its BLAS starts a pool of threads that spins beside
# the timed call on a 2-core machine: children get one thread each.
SINGLE_THREAD = {name: "1" for name in
                 ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS", "NUMBA_NUM_THREADS")}


def run_child(cmd: list[str], timeout: float) -> Outcome:
    """Runs `cmd` under GNU time, which reports the command's own peak RSS. A
    child forked straight from this interpreter would count the interpreter's
    pages too: the high-water mark survives exec. Without GNU time the
    child's wait4 usage is used, an overestimate by about the runner's size."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
            tempfile.NamedTemporaryFile("r") as rss:
        wrapped = [GNU_TIME, "-f", "%M", "-o", rss.name, *cmd] if Path(GNU_TIME).exists() else cmd
        start = time.perf_counter()
        proc = subprocess.Popen(wrapped, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                start_new_session=True, env={**os.environ, **SINGLE_THREAD})
        fired = threading.Event()

        def stop() -> None:
            fired.set()
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

        timer = threading.Timer(timeout, stop)
        timer.start()
        try:
            _, status, usage = os.wait4(proc.pid, 0)
        except BaseException:
            # The child runs in its own session: stopping the runner must
            # stop it too.
            stop()
            raise
        finally:
            timer.cancel()
        wall = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if fired.is_set():
            # The command itself may outlive a killed wrapper for a moment.
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        out.seek(0)
        err.seek(0)
        return Outcome(wall=wall, rss_kib=_peak_rss(rss.read(), usage.ru_maxrss),
                       code=proc.returncode,
                       stdout=out.read().decode(errors="replace"),
                       stderr=err.read().decode(errors="replace"), timed_out=fired.is_set())


def _peak_rss(reported: str, fallback: int) -> int:
    lines = [line for line in reported.split("\n") if line.strip().isdigit()]
    return int(lines[-1]) if lines else fallback


# ------------------------------------------------------------- measurements

@dataclass
class Result:
    tool: str
    n: int
    seconds: float | None = None  # median; None when it did not finish
    runs: list[float] = field(default_factory=list)
    rss_kib: int | None = None
    note: str = ""
    tree: str | None = None  # Newick text of the first run
    details: dict = field(default_factory=dict)  # the child's report of the median run
    rf: tuple[int, int] | None = None
    same_text: bool = False  # the Newick text equals the reference's, byte for byte

    @property
    def finished(self) -> bool:
        return self.seconds is not None


@dataclass
class Tool:
    """How to run one tool on one input. `command` builds the argument list
    for a given tree output path; `timing` picks the time to report from the
    outcome (the child's own timer, or the wall clock)."""

    name: str
    distances: str  # where its distances come from, for the table
    command: callable
    timing: callable
    tree_from: str = "file"  # "file": the tree is written to the path; "stdout"


def wall_time(outcome: Outcome) -> tuple[float, dict]:
    return outcome.wall, {}


def json_time(outcome: Outcome) -> tuple[float, dict]:
    info = json.loads(outcome.stdout.strip().splitlines()[-1])
    return info["total"], info


class Runner:
    def __init__(self, args: argparse.Namespace):
        self.args = args
        self.work = Path(args.workdir)
        self.work.mkdir(parents=True, exist_ok=True)
        self.gave_up: set[str] = set()  # tools that timed out at a smaller n

    def measure(self, tool: Tool, n: int) -> Result:
        return self.measure_all([tool], n)[0]

    def measure_all(self, tools: list[Tool], n: int) -> list[Result]:
        """Runs the tools in turn, round after round, so that a slow spell of
        the shared machine falls on every tool alike."""
        results = [Result(tool=t.name, n=n) for t in tools]
        reports: list[list[dict]] = [[] for _ in tools]
        for result, tool in zip(results, tools):
            if tool.name in self.gave_up:
                result.note = f"> {self.args.timeout:g} s (skipped after a smaller n)"
        for k in range(self.args.repeats):
            for result, tool, report in zip(results, tools, reports):
                done = result.note or (result.runs and result.runs[0] > self.args.repeat_limit)
                if not done:
                    self._run_once(tool, n, k, result, report)
        for result, report in zip(results, reports):
            if result.runs and not result.note:
                result.seconds = statistics.median(result.runs)
                middle = sorted(range(len(result.runs)), key=result.runs.__getitem__)[
                    (len(result.runs) - 1) // 2]
                result.details = report[middle]
        return results

    def _run_once(self, tool: Tool, n: int, k: int, result: Result, reports: list[dict]) -> None:
        tree_path = self.work / f"tree_{tool.name.replace(' ', '_')}_{n}.nwk"
        if tree_path.exists():
            tree_path.unlink()
        outcome = run_child(tool.command(tree_path), self.args.timeout)
        if outcome.timed_out:
            self.gave_up.add(tool.name)
            result.note = f"> {self.args.timeout:g} s"
            return
        if outcome.code != 0:
            result.note = f"failed (exit {outcome.code}): {outcome.stderr.strip()[-200:]}"
            return
        seconds, info = tool.timing(outcome)
        result.runs.append(seconds)
        reports.append(info)
        result.rss_kib = max(result.rss_kib or 0, outcome.rss_kib)
        if k == 0:
            result.tree = (outcome.stdout if tool.tree_from == "stdout"
                           else tree_path.read_text() if tree_path.exists() else None)


# ------------------------------------------------------------------ inputs

def input_paths(work: Path, n: int, length: int, args) -> dict[str, Path]:
    stem = f"{args.alphabet}_n{n}_L{length}_s{args.seed}_g{args.gap_rate:g}_u{args.unknown_rate:g}"
    if args.series != "diverse":
        stem = f"{args.series}_n{n}_L{length}_s{args.seed}"
    return {"fasta": work / f"{stem}.fasta", "sto": work / f"{stem}.sto",
            "phylip": work / f"{stem}.phy", "raw": work / f"{stem}.bin"}


def series_length(args, n: int) -> int:
    return generate.default_length(args.series, n) if args.length is None else args.length


def ensure_inputs(runner: Runner, n: int, length: int, want_matrix: bool,
                  want_raw: bool = False) -> dict[str, Path]:
    args = runner.args
    paths = input_paths(runner.work, n, length, args)
    if not paths["fasta"].exists():
        settings = generate.Settings(n=n, length=length, alphabet=args.alphabet, seed=args.seed,
                                     gap_rate=args.gap_rate, unknown_rate=args.unknown_rate)
        ids, seqs = generate.alignment(args.series, settings)
        generate.write_fasta(str(paths["fasta"]), ids, seqs)
        write_stockholm(paths["sto"], ids, seqs)
    if not paths["sto"].exists():
        write_stockholm(paths["sto"], *generate.read_fasta(str(paths["fasta"])))
    if want_matrix and not paths["phylip"].exists():
        cmd = [args.nj_phases, "--distances-only", "--model", args.model,
               "--matrix-out", str(paths["phylip"]), str(paths["fasta"])]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    if want_raw and not paths["raw"].exists():
        cmd = [args.nj_phases, "--distances-only", "--model", args.model,
               "--matrix-raw", str(paths["raw"]), str(paths["fasta"])]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return paths


def write_stockholm(path: Path, ids: list[str], seqs: list[str]) -> None:
    with open(path, "w") as f:
        f.write("# STOCKHOLM 1.0\n")
        for ident, seq in zip(ids, seqs):
            f.write(f"{ident} {seq}\n")
        f.write("//\n")


def read_phylip(path: str) -> tuple[list[str], list[list[float]]]:
    names, rows = [], []
    with open(path) as f:
        count = int(f.readline())
        for _ in range(count):
            words = f.readline().split()
            names.append(words[0])
            rows.append([float(x) for x in words[1:]])
    return names, rows


# ------------------------------------------------------------------- tools

def self_worker(kind: str, *extra: str) -> list[str]:
    return [sys.executable, str(Path(__file__).resolve()), "--worker", kind, *extra]


def our_tools(args, paths) -> list[Tool]:
    fasta = str(paths["fasta"])

    def phases(distance: str, engine: str):
        return lambda out: [args.nj_phases, "--model", args.model, "--distance", distance,
                            "--engine", engine, "--tree-out", str(out), fasta]

    tools = []
    if args.have_nj_py:
        tools.append(Tool("_nj_py.nj", "own", lambda out: self_worker(
            "nj_py", "--fasta", fasta, "--model", args.model, "--tree-out", str(out)), json_time))
    tools.append(Tool("nj_phases", "own", phases("default", "default"), json_time))
    if args.series == "diverse":
        tools.append(Tool("plain engine", "own", phases("plain", "plain"), json_time))
    else:
        # Genome-length rows make the byte-by-byte distances the whole cost:
        # the engines are compared on the same distances.
        tools.append(Tool("plain engine", "own", phases("default", "plain"), json_time))
    if "plain_scan" in args.peers:
        tools.append(Tool("plain scan (C loop)", "ours, raw matrix (read untimed)",
                          lambda out: [args.plain_scan, str(paths["raw"])], json_time,
                          tree_from="none"))
    return tools


def peer_tools(args, paths, n: int) -> list[Tool]:
    fasta, sto, phy = str(paths["fasta"]), str(paths["sto"]), str(paths["phylip"])
    dna = args.alphabet == "dna"
    matrix_ok = n <= args.matrix_max
    tools = []
    if "quicktree" in args.peers:
        tools.append(Tool("QuickTree", "own (Kimura protein formula)",
                          lambda out: ["quicktree", "-kimura", "-in", "a", "-out", "t", sto],
                          wall_time, tree_from="stdout"))
        if matrix_ok:
            tools.append(Tool("QuickTree (matrix)", "ours, PHYLIP text",
                              lambda out: ["quicktree", "-in", "m", "-out", "t", phy],
                              wall_time, tree_from="stdout"))
    if "clearcut" in args.peers:
        kind = ["--DNA", "--kimura"] if dna else ["--protein"]
        tools.append(Tool("Clearcut -N", "own" + (" K2P" if dna else " (uncorrected)"),
                          lambda out: ["clearcut", "--alignment", *kind, "--neighbor",
                                       "--norandom", f"--in={fasta}", f"--out={out}"],
                          wall_time))
    if "skbio" in args.peers and (dna or matrix_ok):
        source = "own K2P (align_dists)" if dna else "ours, PHYLIP text (read untimed)"
        tools.append(Tool("scikit-bio nj", source, lambda out: self_worker(
            "skbio", "--fasta", fasta, "--matrix", phy, "--model", args.model,
            "--tree-out", str(out)), json_time))
    if "anjl" in args.peers:
        for method in ("dynamic_nj", "rapid_nj"):
            tools.append(Tool(f"anjl {method}", "ours, float32 (converted untimed)",
                              lambda out, method=method: self_worker(
                                  "anjl", "--matrix", str(paths["raw"]), "--method", method,
                                  "--tree-out", str(out)), json_time))
    if "biopython" in args.peers and matrix_ok and n <= args.biopython_max:
        tools.append(Tool("Biopython nj", "ours, PHYLIP text (read untimed)", lambda out: self_worker(
            "biopython", "--matrix", phy, "--tree-out", str(out)), json_time))
    return tools


# ----------------------------------------------------------------- workers

def worker_nj_py(a) -> dict:
    import _nj_py

    ids, seqs = generate.read_fasta(a.fasta)
    config = {"msa": [{"identifier": i, "sequence": s} for i, s in zip(ids, seqs)],
              "n_bootstrap_samples": a.bootstrap, "substitution_model": a.model}
    start = time.perf_counter()
    newick = _nj_py.nj(config)
    seconds = time.perf_counter() - start
    Path(a.tree_out).write_text(newick)
    # Which build ran: the installed module may be replaced while a long
    # benchmark runs.
    built = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(os.path.getmtime(_nj_py.__file__)))
    return {"total": seconds, "module_built": built}


def worker_skbio(a) -> dict:
    import numpy as np
    from skbio import DNA, DistanceMatrix, TabularMSA
    from skbio.alignment import align_dists
    from skbio.tree import nj

    phases = {}
    if a.model == "Kimura2P":
        ids, seqs = generate.read_fasta(a.fasta)
        start = time.perf_counter()
        msa = TabularMSA([DNA(s) for s in seqs], index=ids)
        phases["alignment"] = time.perf_counter() - start
        start = time.perf_counter()
        dm = align_dists(msa, "k2p")
    else:
        names, rows = read_phylip(a.matrix)
        start = time.perf_counter()
        dm = DistanceMatrix(np.array(rows), names)
    phases["distances"] = time.perf_counter() - start
    start = time.perf_counter()
    tree = nj(dm)
    phases["nj"] = time.perf_counter() - start
    start = time.perf_counter()
    newick = str(tree)
    phases["newick"] = time.perf_counter() - start
    Path(a.tree_out).write_text(newick)
    return {"phases": phases, "total": sum(phases.values())}


def worker_biopython(a) -> dict:
    from Bio import Phylo
    from Bio.Phylo.TreeConstruction import DistanceMatrix, DistanceTreeConstructor

    names, rows = read_phylip(a.matrix)
    lower = [row[:k + 1] for k, row in enumerate(rows)]
    del rows
    phases = {}
    start = time.perf_counter()
    dm = DistanceMatrix(names, lower)
    phases["matrix"] = time.perf_counter() - start
    start = time.perf_counter()
    tree = DistanceTreeConstructor().nj(dm)
    phases["nj"] = time.perf_counter() - start
    start = time.perf_counter()
    buf = io.StringIO()
    Phylo.write(tree, buf, "newick")
    phases["newick"] = time.perf_counter() - start
    Path(a.tree_out).write_text(buf.getvalue())
    return {"phases": phases, "total": sum(phases.values())}


def worker_anjl(a) -> dict:
    """anjl given our matrix, square and in float32, single-threaded; numba
    compiles its functions on a small matrix first, untimed."""
    import anjl
    import numpy as np

    condensed = np.fromfile(a.matrix, dtype=np.float64)
    n = int(round((1 + math.sqrt(1 + 8 * condensed.size)) / 2)) if condensed.size else 1
    square = np.zeros((n, n), dtype=np.float32)
    rows, cols = np.tril_indices(n, -1)
    square[rows, cols] = condensed
    square[cols, rows] = condensed
    del condensed, rows, cols
    options = {"parallel": False} if a.method == "dynamic_nj" else {}
    run = getattr(anjl, a.method)
    run(np.ones((8, 8), dtype=np.float32) - np.eye(8, dtype=np.float32), **options)
    start = time.perf_counter()
    z = run(square, copy=False, **options)
    seconds = time.perf_counter() - start
    Path(a.tree_out).write_text(anjl_newick(z, n))
    return {"total": seconds}


def anjl_newick(z, n: int) -> str:
    """Newick text of anjl's linkage rows (left, right, left length, right
    length, leaves), leaves named as ours (s1, s2, ...)."""
    width = len(str(n))
    children = {n + k: (int(row[0]), int(row[1]), float(row[2]), float(row[3]))
                for k, row in enumerate(z)}
    out: list[str] = []
    pending: list = [n + len(z) - 1 if len(z) else 0]
    while pending:  # no recursion: the tree may be a long caterpillar
        item = pending.pop()
        if isinstance(item, str):
            out.append(item)
        elif item in children:
            left, right, to_left, to_right = children[item]
            pending += [")", f":{to_right:g}", right, ",", f":{to_left:g}", left]
            out.append("(")
        else:
            out.append(f"s{item + 1:0{width}d}")
    return "".join(out) + ";"


WORKERS = {"nj_py": worker_nj_py, "skbio": worker_skbio, "biopython": worker_biopython,
           "anjl": worker_anjl}


def run_worker(argv: list[str]) -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--worker", choices=sorted(WORKERS))
    ap.add_argument("--fasta")
    ap.add_argument("--matrix")
    ap.add_argument("--method", default="dynamic_nj")
    ap.add_argument("--model", default="Kimura2P")
    ap.add_argument("--bootstrap", type=int, default=0)
    ap.add_argument("--tree-out", required=True)
    a = ap.parse_args(argv)
    print(json.dumps(WORKERS[a.worker](a)))
    return 0


# ------------------------------------------------------------------ suites

def attach_rf(results: list[Result], reference: Result | None) -> None:
    if reference is None or reference.tree is None:
        return
    ref = treecmp.parse_newick(reference.tree)
    for r in results:
        if r is not reference and r.tree is not None:
            r.rf = treecmp.robinson_foulds(ref, r.tree)
            r.same_text = r.tree == reference.tree


def tie_margin(runner: Runner, fasta: Path, n: int) -> dict | None:
    if n > runner.args.margin_max:
        return None
    cmd = [runner.args.nj_phases, "--model", runner.args.model, "--tie-margin", str(fasta)]
    outcome = run_child(cmd, runner.args.timeout * 3)
    if outcome.code != 0:
        return None
    return json.loads(outcome.stdout)["tie_margin"]


def main_suite(runner: Runner, sizes: list[int]) -> list[dict]:
    args = runner.args
    rows = []
    for n in sizes:
        need_matrix = n <= args.matrix_max and bool(
            {"quicktree", "biopython"} & set(args.peers) or args.alphabet != "dna")
        need_raw = bool({"anjl", "plain_scan"} & set(args.peers))
        paths = ensure_inputs(runner, n, series_length(args, n), need_matrix, need_raw)
        tools = our_tools(args, paths) + peer_tools(args, paths, n)
        log(f"n = {n}: {', '.join(t.name for t in tools)}")
        results = runner.measure_all(tools, n)
        for r in results:
            log(f"  {describe(r)}")
        ours = results[0]
        attach_rf(results, next((r for r in results if r.tool == "nj_phases"), None))
        margin = tie_margin(runner, paths["fasta"], n) if args.series == "diverse" else None
        rows.append({"n": n, "results": results, "ours": ours, "margin": margin,
                     "distances": {t.name: t.distances for t in tools}})
    return rows


def bootstrap_suite(runner: Runner) -> dict:
    args = runner.args
    paths = ensure_inputs(runner, args.bootstrap_n, series_length(args, args.bootstrap_n), False)
    fasta, sto = str(paths["fasta"]), str(paths["sto"])
    reps = str(args.bootstrap_reps)
    tools = []
    if args.have_nj_py:
        tools.append(Tool("_nj_py.nj", "own", lambda out: self_worker(
            "nj_py", "--fasta", fasta, "--model", args.model, "--bootstrap", reps,
            "--tree-out", str(out)), json_time))
    if "quicktree" in args.peers:
        tools.append(Tool("QuickTree -boot", "own (Kimura protein formula)", lambda out: [
            "quicktree", "-kimura", "-boot", reps, "-in", "a", "-out", "t", sto],
            wall_time, tree_from="stdout"))
    results = runner.measure_all(tools, args.bootstrap_n)
    for r in results:
        log(f"  bootstrap {describe(r)}")
    return {"results": results}


def distance_suite(runner: Runner) -> dict:
    args = runner.args
    paths = ensure_inputs(runner, args.distance_n, args.distance_length, False)
    fasta = str(paths["fasta"])

    def only(distance: str):
        return lambda out: [args.nj_phases, "--distances-only", "--model", args.model,
                            "--distance", distance, fasta]

    def distance_time(outcome: Outcome) -> tuple[float, dict]:
        info = json.loads(outcome.stdout)
        return info["phases"]["distances"], info

    results = runner.measure_all([Tool(f"distances {d}", "", only(d), distance_time)
                                  for d in ("default", "plain")], args.distance_n)
    for r in results:
        log(f"  {describe(r)}")
    return {"results": results}


# ----------------------------------------------------------------- reports

def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def describe(r: Result) -> str:
    if not r.finished:
        return f"{r.tool}: {r.note}"
    runs = ", ".join(f"{s:.3f}" for s in r.runs)
    return f"{r.tool}: {r.seconds:.3f} s (runs {runs}), peak RSS {mib(r.rss_kib)}"


def mib(kib: int | None) -> str:
    return "–" if kib is None else f"{kib / 1024:.0f} MiB"


def fmt_seconds(r: Result) -> str:
    if not r.finished:
        return r.note.split(" (")[0] if r.note.startswith(">") else "failed"
    return f"{r.seconds:.3f}" if r.seconds < 10 else f"{r.seconds:.1f}"


def fmt_ratio(r: Result, ours: Result) -> str:
    if not ours.finished:
        return "–"
    if not r.finished:
        if r.note.startswith(">"):
            return f"> {float(r.note.split()[1]) / ours.seconds:.1f}"
        return "–"
    return f"{r.seconds / ours.seconds:.2f}"


def fmt_rf(r: Result) -> str:
    if r.rf is None:
        return "–"
    return f"{r.rf[0]} / {r.rf[1]}" + (" (same text)" if r.same_text else "")


def main_table(rows: list[dict]) -> list[str]:
    out = ["| n | tool | distances | time (s) | time / ours | peak RSS | RF vs ours |",
           "|---:|---|---|---:|---:|---:|---:|"]
    for row in rows:
        for r in row["results"]:
            ratio = "1 (ours)" if r is row["ours"] else fmt_ratio(r, row["ours"])
            out.append(f"| {row['n']:,} | {r.tool} | {row['distances'][r.tool]} | "
                       f"{fmt_seconds(r)} | {ratio} | {mib(r.rss_kib)} | {fmt_rf(r)} |")
    return out


def phase_table(rows: list[dict]) -> list[str]:
    names = ["read", "encode", "distances", "nj", "newick"]
    out = ["| n | engine | " + " | ".join(names) + " | total | peak RSS |",
           "|---:|---|" + "---:|" * (len(names) + 2)]
    for row in rows:
        for r in row["results"]:
            if r.tool in ("nj_phases", "plain engine") and r.finished:
                phases = r.details.get("phases", {})
                cells = " | ".join(f"{phases[p]:.3f}" if p in phases else "–" for p in names)
                label = "default" if r.tool == "nj_phases" else "plain"
                out.append(f"| {row['n']:,} | {label} | {cells} | {r.details['total']:.3f} | "
                           f"{mib(r.rss_kib)} |")
    return out


def peer_phase_table(rows: list[dict]) -> list[str]:
    out = ["| n | tool | phases (s) |", "|---:|---|---|"]
    for row in rows:
        for r in row["results"]:
            phases = r.details.get("phases") if r.finished else None
            if phases and r.tool not in ("nj_phases", "plain engine"):
                cells = ", ".join(f"{k} {v:.3f}" for k, v in phases.items())
                out.append(f"| {row['n']:,} | {r.tool} | {cells} |")
    return out


def module_builds(rows: list[dict], boot: dict | None) -> list[str]:
    results = [r for row in rows for r in row["results"]] + (boot["results"] if boot else [])
    return sorted({r.details["module_built"] for r in results if "module_built" in r.details})


def margin_table(rows: list[dict]) -> list[str]:
    out = ["| n | smallest lead of the chosen join | relative | live nodes then | "
           "margin run's tree = timed tree |", "|---:|---:|---:|---:|---|"]
    for row in rows:
        m = row["margin"]
        if m is None:
            continue
        gap = "–" if m["min_gap"] is None else f"{m['min_gap']:.3g}"
        rel = "–" if m["min_rel_gap"] is None else f"{m['min_rel_gap']:.2g}"
        out.append(f"| {row['n']:,} | {gap} | {rel} | {m['live_at_min']} | "
                   f"{'yes' if m['tree_matches'] else 'NO'} |")
    return out


def small_table(results: list[Result], first_is_ours: bool = True) -> list[str]:
    out = ["| tool | time (s) | time / first row | peak RSS |", "|---|---:|---:|---:|"]
    ours = results[0] if results and first_is_ours else None
    for r in results:
        ratio = "1" if r is ours else (fmt_ratio(r, ours) if ours else "–")
        out.append(f"| {r.tool} | {fmt_seconds(r)} | {ratio} | {mib(r.rss_kib)} |")
    return out


def tool_versions() -> list[str]:
    lines = [f"Python {platform.python_version()}"]
    for cmd in (["quicktree", "-v"], ["clearcut", "-V"]):
        try:
            text = subprocess.run(cmd, capture_output=True, text=True, timeout=10)
            lines.append((text.stdout or text.stderr).strip().splitlines()[0])
        except (OSError, IndexError, subprocess.SubprocessError):
            lines.append(f"{cmd[0]}: not found")
    for module, label in (("skbio", "scikit-bio"), ("Bio", "Biopython")):
        try:
            lines.append(f"{label} {__import__(module).__version__}")
        except ImportError:
            lines.append(f"{label}: not installed")
    return lines


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    return f"{cpu}, {os.cpu_count()} logical CPUs, load average {load:.1f} at the start"


def shown_path(arg: str) -> str:
    """An absolute path inside the repository as the path from its root, so
    that a results block names no directory of the machine it ran on."""
    path = Path(arg)
    if not path.is_absolute():
        return arg
    try:
        return str(path.resolve().relative_to(Path(__file__).resolve().parent.parent))
    except ValueError:
        return arg


def render(args, command: str, start_note: str, rows, boot, dist) -> str:
    lines = [f"Command: `{command}`", "",
             f"Machine: {start_note}. Tools: " + "; ".join(tool_versions()) + ".", ""]
    ours_name = "_nj_py.nj" if args.have_nj_py else "nj_phases (default engine)"
    length = f"{args.length:,}" if args.length else \
        ", ".join(f"{series_length(args, n):,}" for n in args.sizes)
    lines.append(f"Series {SERIES_TITLES[args.series]}. "
                 f"Alphabet {args.alphabet}, model {args.model}, L = {length}, seed "
                 f"{args.seed}, gap rate {args.gap_rate:g}, unknown rate {args.unknown_rate:g}; "
                 f"median of {args.repeats} runs (one run when the first exceeds "
                 f"{args.repeat_limit:g} s); timeout {args.timeout:g} s. \"ours\" is {ours_name}.")
    if args.no_nj_py:
        lines += ["", "The installed `_nj_py` module was left out (`--no-nj-py`)."]
    elif not args.have_nj_py:
        lines += ["", "`_nj_py` was not importable, so its rows are missing."]
    builds = module_builds(rows, boot)
    if len(builds) == 1:
        lines += ["", f"The installed `_nj_py` module was built at {builds[0]}."]
    elif builds:
        lines += ["", "**The installed `_nj_py` module was replaced during the run**; builds "
                  f"from {', '.join(builds)} were measured."]
    lines += ["", "### End to end", ""] + main_table(rows)
    lines += ["", "### Our phases (nj_phases)", ""] + phase_table(rows)
    lines += ["", "### Python peers' phases", ""] + peer_phase_table(rows)
    lines += ["", "### Tie margin of the inputs", ""] + margin_table(rows)
    if boot is not None:
        lines += ["", f"### Bootstrap, n = {args.bootstrap_n:,}, {args.bootstrap_reps} replicates",
                  ""]
        lines += (small_table(boot["results"], first_is_ours=args.have_nj_py)
                  if boot["results"] else ["(nothing to run)"])
    if dist is not None:
        lines += ["", f"### Distances only, n = {args.distance_n:,}, L = {args.distance_length:,}",
                  ""] + small_table(dist["results"])
    return "\n".join(lines) + "\n"


def write_readme(path: Path, block: str, name: str = "diverse") -> None:
    begin, end = marks(name)
    text = path.read_text() if path.exists() else f"{begin}\n{end}\n"
    if begin not in text or end not in text:
        text += f"\n{begin}\n{end}\n"
    head, rest = text.split(begin, 1)
    _, tail = rest.split(end, 1)
    path.write_text(f"{head}{begin}\n{block}{end}{tail}")


def to_json(rows, boot, dist) -> dict:
    def plain(r: Result) -> dict:
        return {k: v for k, v in r.__dict__.items() if k != "tree"}

    return {"sizes": [{**row, "results": [plain(r) for r in row["results"]],
                       "ours": row["ours"].tool} for row in rows],
            "bootstrap": [plain(r) for r in boot["results"]] if boot else None,
            "distances": [plain(r) for r in dist["results"]] if dist else None}


# -------------------------------------------------------------------- main

def default_nj_phases() -> str:
    for candidate in (HERE.parent / "build" / "benchmarks" / "nj_phases",
                      HERE.parent / "build" / "bench" / "benchmarks" / "nj_phases"):
        if candidate.exists():
            return str(candidate)
    return "nj_phases"


def parse_args(argv: list[str]) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="500,1000,2000,4000",
                    help="comma-separated numbers of sequences")
    ap.add_argument("--large", action="store_true", help="also run n = 8,000 and 16,000")
    ap.add_argument("--series", choices=generate.KINDS, default="diverse",
                    help="the inputs: diverse (default), outbreak, star or random (saturated); "
                    "only diverse runs the bootstrap, distance and tie-margin suites")
    ap.add_argument("--length", type=int,
                    help="alignment length (default 1000; outbreak 29903, star n, random 20)")
    ap.add_argument("--alphabet", choices=("dna", "protein"), default="dna")
    ap.add_argument("--gap-rate", type=float, default=0.0)
    ap.add_argument("--unknown-rate", type=float, default=0.0)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--repeat-limit", type=float, default=60.0,
                    help="measure once when the first run takes longer (s)")
    ap.add_argument("--timeout", type=float, default=300.0, help="per run (s)")
    ap.add_argument("--peers", default="quicktree,clearcut,skbio,biopython,anjl,plain_scan",
                    help="any of quicktree, clearcut, skbio, biopython, anjl, plain_scan")
    ap.add_argument("--biopython-max", type=int, default=500)
    ap.add_argument("--matrix-max", type=int, default=4000,
                    help="largest n for the peers fed our PHYLIP matrix")
    ap.add_argument("--margin-max", type=int, default=4000,
                    help="largest n whose tie margin is measured")
    ap.add_argument("--no-bootstrap", action="store_true")
    ap.add_argument("--bootstrap-n", type=int, default=1000)
    ap.add_argument("--bootstrap-reps", type=int, default=100)
    ap.add_argument("--no-distances", action="store_true")
    ap.add_argument("--distance-n", type=int, default=2000)
    ap.add_argument("--distance-length", type=int, default=10000)
    ap.add_argument("--nj-phases", default=default_nj_phases(), help="path of nj_phases")
    ap.add_argument("--plain-scan", help="path of plain_scan (default: beside nj_phases)")
    ap.add_argument("--workdir", default=str(HERE / ".cache"),
                    help="inputs, trees and results.json (default benchmarks/.cache)")
    ap.add_argument("--readme", default=str(HERE / "README.md"))
    ap.add_argument("--block", help="the README block to rewrite (default: the series' own)")
    ap.add_argument("--no-readme", action="store_true")
    ap.add_argument("--no-nj-py", action="store_true",
                    help="leave out the installed _nj_py module (ours is then nj_phases)")
    args = ap.parse_args(argv)
    args.sizes = [int(s) for s in args.sizes.split(",") if s] + ([8000, 16000] if args.large else [])
    args.peers = [p for p in args.peers.split(",") if p]
    args.model = "Kimura2P" if args.alphabet == "dna" else "Poisson"
    args.plain_scan = args.plain_scan or str(Path(args.nj_phases).with_name("plain_scan"))
    if args.series != "diverse":
        args.no_bootstrap = args.no_distances = True
    return args


def nj_py_importable() -> bool:
    probe = subprocess.run([sys.executable, "-c", "import _nj_py"], capture_output=True)
    return probe.returncode == 0


def main(argv: list[str]) -> int:
    if argv[:1] == ["--worker"]:
        return run_worker(argv)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    args = parse_args(argv)
    args.have_nj_py = not args.no_nj_py and nj_py_importable()
    if not args.have_nj_py and not args.no_nj_py:
        log("note: _nj_py is not importable; its rows are skipped "
            "(build it with `pip install .`)")
    start_note = machine()
    runner = Runner(args)
    rows = main_suite(runner, args.sizes)
    runner.gave_up.clear()
    boot = None if args.no_bootstrap else bootstrap_suite(runner)
    dist = None if args.no_distances else distance_suite(runner)
    start_note += f", {os.getloadavg()[0]:.1f} at the end"
    command = "python3 benchmarks/run.py" + "".join(f" {shlex.quote(shown_path(a))}" for a in argv)
    block = render(args, command, start_note, rows, boot, dist)
    print(block)
    name = "results.json" if args.series == "diverse" else f"results_{args.series}.json"
    (runner.work / name).write_text(json.dumps(to_json(rows, boot, dist), indent=1))
    if not args.no_readme:
        write_readme(Path(args.readme), block, args.block or args.series)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
