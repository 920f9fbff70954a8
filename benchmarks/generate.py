#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Seeded synthetic alignments for the benchmarks.

A random tree is grown by a Yule (pure-birth) process, its branch lengths are
scaled so that the root-to-tip depth is `height` substitutions per site and
then varied per branch (log-normal, so the tree is not ultrametric), and a
root sequence is evolved down it:

* DNA under the Kimura two-parameter model with transition/transversion rate
  ratio `kappa`;
* protein under the equal-rates (Poisson) model over the 20 amino acids.

Gaps are added at the leaves as runs (geometric lengths) so that about
`gap_rate` of all characters are gaps, and then about `unknown_rate` of the
remaining characters become N (DNA) or X (protein). Leaves with identical
sequences are made distinct by extra point mutations, so every pair of
sequences differs in at least one column.

The same arguments always give the same alignment (numpy's PCG64 stream).
Used as a module (`generate(...)`) by the runner and as a script:

    python3 benchmarks/generate.py -n 4000 -L 1000 --seed 1 -o dna4000.fasta
"""

from __future__ import annotations

import argparse
import math
import sys
from dataclasses import dataclass

import numpy as np

DNA_LETTERS = np.frombuffer(b"ACGT", dtype=np.uint8)
PROTEIN_LETTERS = np.frombuffer(b"ARNDCQEGHILKMFPSTWYV", dtype=np.uint8)


@dataclass(frozen=True)
class Settings:
    n: int
    length: int
    alphabet: str = "dna"  # "dna" or "protein"
    seed: int = 1
    height: float = 0.15
    kappa: float = 2.0
    branch_sd: float = 0.3
    gap_rate: float = 0.0
    gap_mean_run: float = 4.0
    unknown_rate: float = 0.0


@dataclass
class Tree:
    """Parent of every node (-1 for the root) and the length of the edge above
    it. Parents come before their children; the last n nodes are the leaves."""

    parent: np.ndarray
    length: np.ndarray
    n_leaves: int


def yule_tree(n: int, rng: np.random.Generator, height: float, branch_sd: float) -> Tree:
    if n < 1:
        raise ValueError("n must be at least 1")
    total = 2 * n - 1
    parent = np.full(total, -1, dtype=np.int64)
    birth = np.zeros(total)
    # Live lineages, as node ids; splitting a lineage ends it at an inner node
    # and starts two new ones.
    live = [0]
    next_id = 1
    now = 0.0
    inner = []
    while len(live) < n:
        now += rng.exponential(1.0 / len(live))
        pick = int(rng.integers(len(live)))
        node = live[pick]
        inner.append((node, now))
        kids = (next_id, next_id + 1)
        next_id += 2
        for kid in kids:
            parent[kid] = node
            birth[kid] = now
        live[pick] = kids[0]
        live.append(kids[1])
    end = now + rng.exponential(1.0 / len(live))
    death = np.full(total, end)
    for node, t in inner:
        death[node] = t
    length = death - birth
    # The root's own edge lies above every leaf's common ancestor: it adds
    # nothing to any divergence, so the depth is measured from its end.
    depth = end - death[0]
    length[0] = 0.0
    length *= height / depth if depth > 0 else 0.0
    if branch_sd > 0:
        length *= rng.lognormal(-0.5 * branch_sd * branch_sd, branch_sd, size=total)
    return _leaves_last(parent, length, set(live))


def _leaves_last(parent: np.ndarray, length: np.ndarray, leaves: set[int]) -> Tree:
    """Renumbers nodes: inner nodes first, in creation order (so parents still
    precede children), then the leaves in ascending old id."""
    total = len(parent)
    order = [v for v in range(total) if v not in leaves] + sorted(leaves)
    new_id = np.empty(total, dtype=np.int64)
    new_id[order] = np.arange(total)
    old_parent = parent[order]
    new_parent = np.where(old_parent >= 0, new_id[np.maximum(old_parent, 0)], -1)
    return Tree(parent=new_parent, length=length[order].copy(), n_leaves=len(leaves))


def kimura_probabilities(t: float, kappa: float) -> tuple[float, float]:
    """Probability of a transition and of a transversion after t expected
    substitutions per site."""
    beta = 1.0 / (kappa + 2.0)
    alpha = kappa * beta
    e4b = math.exp(-4.0 * beta * t)
    e2ab = math.exp(-2.0 * (alpha + beta) * t)
    return 0.25 + 0.25 * e4b - 0.5 * e2ab, 0.5 - 0.5 * e4b


def evolve_dna(parent_seq: np.ndarray, t: float, kappa: float, rng: np.random.Generator) -> np.ndarray:
    # Codes A=0 C=1 G=2 T=3: a transition flips bit 1 (A<->G, C<->T); a
    # transversion flips bit 0, alone or together with bit 1.
    p, q = kimura_probabilities(t, kappa)
    u = rng.random(parent_seq.size)
    flip = np.zeros(parent_seq.size, dtype=np.uint8)
    flip[u < p] = 2
    tv = (u >= p) & (u < p + q)
    flip[tv] = rng.choice(np.array([1, 3], dtype=np.uint8), size=int(tv.sum()))
    return parent_seq ^ flip


def evolve_protein(parent_seq: np.ndarray, t: float, rng: np.random.Generator) -> np.ndarray:
    change = (19.0 / 20.0) * (1.0 - math.exp(-20.0 / 19.0 * t))
    hit = rng.random(parent_seq.size) < change
    child = parent_seq.copy()
    shift = rng.integers(1, 20, size=int(hit.sum()), dtype=np.uint8)
    child[hit] = (child[hit] + shift) % 20
    return child


def evolve(tree: Tree, settings: Settings, rng: np.random.Generator) -> np.ndarray:
    """Leaf rows as symbol codes, one row per leaf."""
    states = 4 if settings.alphabet == "dna" else 20
    total = len(tree.parent)
    seqs: list[np.ndarray | None] = [None] * total
    seqs[0] = rng.integers(0, states, size=settings.length, dtype=np.uint8)
    for v in range(1, total):
        up = seqs[int(tree.parent[v])]
        t = float(tree.length[v])
        if settings.alphabet == "dna":
            seqs[v] = evolve_dna(up, t, settings.kappa, rng)
        else:
            seqs[v] = evolve_protein(up, t, rng)
    first_leaf = total - tree.n_leaves
    return np.stack(seqs[first_leaf:]) if tree.n_leaves else np.zeros((0, settings.length), np.uint8)


def make_distinct(rows: np.ndarray, states: int, rng: np.random.Generator) -> None:
    """Mutates repeated rows, one random column at a time, until no two rows
    are equal (left as is when the alignment is too short to allow it)."""
    if rows.shape[1] == 0 or states ** min(rows.shape[1], 16) < rows.shape[0]:
        return
    while True:
        seen: dict[bytes, int] = {}
        repeats = []
        for k in range(rows.shape[0]):
            key = rows[k].tobytes()
            if key in seen:
                repeats.append(k)
            else:
                seen[key] = k
        if not repeats:
            return
        for k in repeats:
            col = int(rng.integers(rows.shape[1]))
            rows[k, col] = (rows[k, col] + int(rng.integers(1, states))) % states


def add_gaps(chars: np.ndarray, rate: float, mean_run: float, rng: np.random.Generator) -> None:
    n, length = chars.shape
    if rate <= 0 or length == 0:
        return
    p_end = 1.0 / max(mean_run, 1.0)
    runs_per_row = rate * length / max(mean_run, 1.0)
    for k in range(n):
        for _ in range(int(rng.poisson(runs_per_row))):
            start = int(rng.integers(length))
            run = int(rng.geometric(p_end))
            chars[k, start:start + run] = ord("-")


def add_unknowns(chars: np.ndarray, rate: float, letter: int, rng: np.random.Generator) -> None:
    if rate <= 0:
        return
    hit = (rng.random(chars.shape) < rate) & (chars != ord("-"))
    chars[hit] = letter


def generate(settings: Settings) -> tuple[list[str], list[str]]:
    """Identifiers and aligned sequence texts of one synthetic alignment."""
    if settings.alphabet not in ("dna", "protein"):
        raise ValueError(f"unknown alphabet {settings.alphabet!r}")
    rng = np.random.default_rng(settings.seed)
    tree = yule_tree(settings.n, rng, settings.height, settings.branch_sd)
    rows = evolve(tree, settings, rng)
    # Leaves come out in the order of the tree's construction; shuffling them
    # keeps sister sequences from sitting next to each other in the file.
    rows = rows[rng.permutation(rows.shape[0])]
    states = 4 if settings.alphabet == "dna" else 20
    make_distinct(rows, states, rng)
    letters = DNA_LETTERS if settings.alphabet == "dna" else PROTEIN_LETTERS
    chars = letters[rows]
    add_gaps(chars, settings.gap_rate, settings.gap_mean_run, rng)
    add_unknowns(chars, settings.unknown_rate, ord("N" if settings.alphabet == "dna" else "X"), rng)
    return _named(settings.n), [row.tobytes().decode("ascii") for row in chars]


def outbreak(n: int, seed: int = 1, length: int = 29903, changes: float = 15.0,
             duplicate_share: float = 1 / 3, unknown_share: float = 0.5,
             unknown_mean_run: float = 300.0) -> tuple[list[str], list[str]]:
    """An outbreak-like alignment: genomes of `length` columns evolved down a
    Yule tree whose root-to-tip depth is about `changes` substitutions, about
    `duplicate_share` of the sequences exact copies of another one, and runs
    of N (dropped-out stretches) in `unknown_share` of them.

    The few changes per branch are drawn as positions (a Poisson number per
    branch) rather than per column, so that tens of thousands of genomes take
    seconds."""
    rng = np.random.default_rng(seed)
    copies = int(round(n * duplicate_share)) if n > 1 else 0
    distinct = max(n - copies, 1)
    copies = n - distinct
    tree = yule_tree(distinct, rng, changes / max(length, 1), Settings.branch_sd)
    root = rng.integers(0, 4, size=length, dtype=np.uint8)
    # Each node's changes as {column: code}, its parent's plus its own.
    changed: list[dict[int, int] | None] = [None] * len(tree.parent)
    changed[0] = {}
    for v in range(1, len(tree.parent)):
        mine = dict(changed[int(tree.parent[v])])
        for col in rng.integers(0, length, size=int(rng.poisson(tree.length[v] * length))):
            old = mine.get(int(col), int(root[col]))
            mine[int(col)] = (old + int(rng.integers(1, 4))) % 4
        changed[v] = mine
    first_leaf = len(tree.parent) - tree.n_leaves
    rows = np.empty((n, length), dtype=np.uint8)
    for k in range(distinct):
        rows[k] = root
        leaf = changed[first_leaf + k]
        if leaf:
            rows[k, list(leaf)] = list(leaf.values())
    chars = DNA_LETTERS[rows[:distinct]]
    for k in np.flatnonzero(rng.random(distinct) < unknown_share):
        for _ in range(int(rng.integers(1, 4))):
            start = int(rng.integers(length))
            run = int(rng.geometric(1.0 / unknown_mean_run))
            chars[k, start:start + run] = ord("N")
    # The copies are made after the N runs, so that they are copies letter for
    # letter; then every sequence goes to a random place.
    sources = rng.integers(0, distinct, size=copies)
    chars = np.concatenate([chars, chars[sources]])[rng.permutation(n)]
    return _named(n), [row.tobytes().decode("ascii") for row in chars]


def star(n: int, seed: int = 1, length: int | None = None) -> tuple[list[str], list[str]]:
    """Sequences that each differ from one random base sequence by a
    transition at a column of their own, so that every pairwise distance is
    the same under every model: a star, all ties. `length` is at least n
    (default n)."""
    length = n if length is None else length
    if length < n:
        raise ValueError("a star needs at least one column per sequence")
    rng = np.random.default_rng(seed)
    base = rng.integers(0, 4, size=length, dtype=np.uint8)
    rows = np.tile(base, (n, 1))
    columns = rng.permutation(length)[:n]
    rows[np.arange(n), columns] ^= 2  # A<->G, C<->T
    return _named(n), [row.tobytes().decode("ascii") for row in DNA_LETTERS[rows]]


def random_sequences(n: int, length: int, seed: int = 1) -> tuple[list[str], list[str]]:
    """Independent uniform DNA sequences: with few columns most pairs differ
    beyond what a model can correct, so most distances are infinite."""
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, 4, size=(n, length), dtype=np.uint8)
    return _named(n), [row.tobytes().decode("ascii") for row in DNA_LETTERS[rows]]


def _named(n: int) -> list[str]:
    width = len(str(n))
    return [f"s{k:0{width}d}" for k in range(1, n + 1)]


def write_fasta(path_or_file, ids: list[str], seqs: list[str]) -> None:
    out = open(path_or_file, "w") if isinstance(path_or_file, str) else path_or_file
    try:
        for ident, seq in zip(ids, seqs):
            out.write(f">{ident}\n{seq}\n")
    finally:
        if out is not path_or_file:
            out.close()


def read_fasta(path: str) -> tuple[list[str], list[str]]:
    """Identifiers (the first word of each header) and sequences."""
    ids: list[str] = []
    chunks: list[list[str]] = []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith(">"):
                words = line[1:].split()
                ids.append(words[0] if words else "")
                chunks.append([])
            elif line and chunks:
                chunks[-1].append(line)
    return ids, ["".join(c) for c in chunks]


KINDS = ("diverse", "outbreak", "star", "random")


def default_length(kind: str, n: int) -> int:
    """The alignment length of a kind when none is given."""
    return {"diverse": 1000, "outbreak": 29903, "star": n, "random": 20}[kind]


def alignment(kind: str, settings: Settings) -> tuple[list[str], list[str]]:
    """Identifiers and sequences of one alignment of the given kind; the kinds
    other than "diverse" use only n, the length and the seed."""
    if kind == "diverse":
        return generate(settings)
    if kind == "outbreak":
        return outbreak(settings.n, settings.seed, settings.length)
    if kind == "star":
        return star(settings.n, settings.seed, settings.length)
    if kind == "random":
        return random_sequences(settings.n, settings.length, settings.seed)
    raise ValueError(f"unknown kind {kind!r}")


def parse_args(argv: list[str]) -> tuple[str, Settings, str]:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("-n", type=int, required=True, help="number of sequences")
    ap.add_argument("--kind", choices=KINDS, default="diverse",
                    help="diverse: the evolved alignment above (default); outbreak: "
                    "near-identical genomes with copies and N runs; star: one private "
                    "change each, every distance equal; random: independent sequences")
    ap.add_argument("-L", "--length", type=int,
                    help="alignment length (default 1000; outbreak 29903, star n, random 20)")
    ap.add_argument("--alphabet", choices=("dna", "protein"), default="dna")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--height", type=float, default=Settings.height,
                    help="root-to-tip depth in expected substitutions per site")
    ap.add_argument("--kappa", type=float, default=Settings.kappa,
                    help="transition/transversion rate ratio (DNA)")
    ap.add_argument("--branch-sd", type=float, default=Settings.branch_sd,
                    help="log-normal spread of per-branch rates (0: ultrametric)")
    ap.add_argument("--gap-rate", type=float, default=0.0, help="fraction of characters in gap runs")
    ap.add_argument("--gap-mean-run", type=float, default=Settings.gap_mean_run)
    ap.add_argument("--unknown-rate", type=float, default=0.0,
                    help="fraction of characters turned into N (DNA) or X (protein)")
    ap.add_argument("-o", "--output", default="-", help="FASTA file to write (default: stdout)")
    a = ap.parse_args(argv)
    length = default_length(a.kind, a.n) if a.length is None else a.length
    settings = Settings(n=a.n, length=length, alphabet=a.alphabet, seed=a.seed,
                        height=a.height, kappa=a.kappa, branch_sd=a.branch_sd,
                        gap_rate=a.gap_rate, gap_mean_run=a.gap_mean_run,
                        unknown_rate=a.unknown_rate)
    return a.kind, settings, a.output


def main(argv: list[str]) -> int:
    kind, settings, output = parse_args(argv)
    ids, seqs = alignment(kind, settings)
    write_fasta(sys.stdout if output == "-" else output, ids, seqs)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
