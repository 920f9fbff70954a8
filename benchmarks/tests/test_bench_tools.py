# SPDX-License-Identifier: MIT
"""The benchmark helpers whose mistakes would not show: the Newick reader and
Robinson-Foulds distance that judge the peers' trees, the alignment generator
and the README writer. They are loaded by path; none needs _nj_py."""

import importlib.util
import math
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1]


def load(name):
    found = importlib.util.spec_from_file_location(f"bench_{name}", BENCH / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module
    found.loader.exec_module(module)
    return module


treecmp = load("treecmp")
generate = load("generate")
runner = load("run")


@pytest.mark.parametrize("a, b, expected", [
    # Same tree, children in another order.
    ("((A,B),(C,D),(E,F));", "((F,E),(D,C),(B,A));", (0, 6)),
    # Same unrooted tree: rooted on an edge, trifurcating, rooted at a leaf.
    ("(((A,B),C),(D,E));", "((A,B),C,(D,E));", (0, 4)),
    ("(((A,B),C),(D,E));", "(A,(B,(C,(D,E))));", (0, 4)),
    # Two of three splits swapped: AB|CDEF and CD|ABEF against AC|... and BD|...
    ("((A,B),(C,D),(E,F));", "((A,C),(B,D),(E,F));", (4, 6)),
    # Nothing shared.
    ("((A,B),(C,D),(E,F));", "((A,D),(B,F),(C,E));", (6, 6)),
    # A star shares nothing and has no split of its own.
    ("((A,B),(C,D),(E,F));", "(A,B,C,D,E,F);", (3, 3)),
    # Lengths, supports, inner names and comments do not matter.
    ("((A:0.1,B:0.2)95:0.3,(C,D)Inner1:-0.001,(E,F)[&&NHX:x=1]);",
     "((A,B),(C,D),(E,F));", (0, 6)),
])
def test_robinson_foulds(a, b, expected):
    assert treecmp.robinson_foulds(a, b) == expected
    assert treecmp.robinson_foulds(b, a) == expected


def test_reader_keeps_labels_as_written():
    tree = treecmp.parse_newick(
        "('a b':1.5,'it''s':2e-3,(c_d,'x,y'[note])'0.9':0.25,'(q)');")
    assert treecmp.leaf_names(tree) == ["a b", "it's", "c_d", "x,y", "(q)"]
    assert [c.length for c in tree.children] == [1.5, 0.002, 0.25, None]
    assert tree.children[2].name == "0.9"
    # Quoted and plain spellings of one name are the same leaf.
    assert treecmp.robinson_foulds("(('a',b),c,(d,e));", "((a,'b'),c,(d,e));") == (0, 4)


def test_reader_takes_line_broken_peer_output():
    text = "(\n(\ns4:0.00000,\ns1:0.00500)\n:0.01000,\n(\ns5:0.03,\ns2:0.005)\n:0.01,\ns6:0.03);\n"
    tree = treecmp.parse_newick(text)
    assert sorted(treecmp.leaf_names(tree)) == ["s1", "s2", "s4", "s5", "s6"]
    assert tree.children[0].length == 0.01


@pytest.mark.parametrize("text", [
    "((A,B),C;", "((A,B),C));", "(A,B)", "('A,B);", "(A:x,B);", "(A,B)[open;",
])
def test_reader_refuses_broken_newick(text):
    with pytest.raises(treecmp.NewickError):
        treecmp.parse_newick(text)


@pytest.mark.parametrize("a, b", [
    ("((A,B),(C,D));", "((A,B),(C,E));"),  # different leaves
    ("((A,B),(C,A));", "((A,B),(C,D));"),  # a name twice
])
def test_rf_refuses_trees_on_other_leaves(a, b):
    with pytest.raises(ValueError):
        treecmp.robinson_foulds(a, b)


def caterpillar(names):
    text = names[0]
    for name in names[1:]:
        text = f"({text},{name})"
    return text + ";"


def test_deep_trees_need_no_recursion():
    names = [f"t{k}" for k in range(5000)]
    deep = caterpillar(names)
    assert treecmp.robinson_foulds(deep, deep) == (0, 2 * (5000 - 3))
    # Swapping the two leaves at the deep end changes nothing unrooted;
    # swapping leaves 3 and 4 moves exactly one split.
    assert treecmp.robinson_foulds(deep, caterpillar([names[1], names[0]] + names[2:]))[0] == 0
    moved = names[:3] + [names[4], names[3]] + names[5:]
    assert treecmp.robinson_foulds(deep, caterpillar(moved))[0] == 2


def test_generator_is_seeded():
    settings = generate.Settings(n=30, length=200, seed=7, gap_rate=0.05, unknown_rate=0.01)
    assert generate.generate(settings) == generate.generate(settings)
    other = generate.Settings(n=30, length=200, seed=8, gap_rate=0.05, unknown_rate=0.01)
    assert generate.generate(settings) != generate.generate(other)


@pytest.mark.parametrize("alphabet, letters, unknown", [
    ("dna", set("ACGT"), "N"), ("protein", set("ARNDCQEGHILKMFPSTWYV"), "X")])
def test_generated_alignment_shape(alphabet, letters, unknown):
    settings = generate.Settings(n=300, length=1000, alphabet=alphabet, seed=3,
                                 gap_rate=0.1, unknown_rate=0.02)
    ids, seqs = generate.generate(settings)
    assert len(ids) == len(set(ids)) == 300
    assert all(len(s) == 1000 for s in seqs)
    chars = "".join(seqs)
    assert set(chars) <= letters | {"-", unknown}
    gaps = chars.count("-") / len(chars)
    assert 0.07 < gaps < 0.13
    assert 0.015 < chars.count(unknown) / (len(chars) - chars.count("-")) < 0.025


def test_generated_sequences_are_distinct_and_diverged():
    # A shallow tree makes identical leaves likely; they must be separated.
    settings = generate.Settings(n=400, length=100, seed=5, height=0.01)
    _, seqs = generate.generate(settings)
    assert len(set(seqs)) == 400
    settings = generate.Settings(n=50, length=2000, seed=5, height=0.15)
    _, seqs = generate.generate(settings)
    p = [sum(x != y for x, y in zip(seqs[0], s)) / 2000 for s in seqs[1:]]
    # Sequences diverge from the root by about 0.15 substitutions per site each.
    assert 0.1 < max(p) < 0.4


def test_kimura_evolution_splits_transitions_and_transversions():
    kappa, t, length = 4.0, 0.3, 400_000
    p, q = generate.kimura_probabilities(t, kappa)
    # Over a short branch the change probability is the branch length, split
    # between transitions and transversions as kappa : 2.
    small_p, small_q = generate.kimura_probabilities(1e-4, kappa)
    assert small_p + small_q == pytest.approx(1e-4, rel=1e-3)
    assert small_p / small_q == pytest.approx(kappa / 2, rel=1e-3)
    rng = generate.np.random.default_rng(11)
    start = rng.integers(0, 4, size=length, dtype=generate.np.uint8)
    end = generate.evolve_dna(start, t, kappa, rng)
    flipped = start ^ end
    # Codes A=0 C=1 G=2 T=3: transitions are A<->G and C<->T.
    transitions = (flipped == 2).mean()
    transversions = ((flipped == 1) | (flipped == 3)).mean()
    for observed, expected in ((transitions, p), (transversions, q)):
        sigma = math.sqrt(expected * (1 - expected) / length)
        assert abs(observed - expected) < 5 * sigma
    assert generate.kimura_probabilities(50.0, kappa) == pytest.approx((0.25, 0.5))


def test_tie_and_outbreak_generators_make_what_they_promise():
    # A star: each row one transition from the base, so every pair differs
    # at exactly two columns, by transitions only.
    _, seqs = generate.star(60, seed=2)
    pairs = [(a, b) for k, a in enumerate(seqs) for b in seqs[k + 1:]]
    assert {sum(x != y for x, y in zip(a, b)) for a, b in pairs} == {2}
    assert all({x, y} in ({"A", "G"}, {"C", "T"}) for a, b in pairs for x, y in zip(a, b) if x != y)
    # An outbreak: a third are copies of another row, half of the rest carry
    # N runs, and rows differ at a few tens of columns at most.
    n, length = 600, 29903
    _, seqs = generate.outbreak(n, seed=4, length=length)
    assert len(seqs) == n and all(len(s) == length for s in seqs)
    assert n - len(set(seqs)) >= n // 3
    distinct = list(dict.fromkeys(seqs))
    assert 0.35 < sum("N" in s for s in distinct) / len(distinct) < 0.65
    differ = [sum(x != y and "N" not in (x, y) for x, y in zip(distinct[0], s))
              for s in distinct[1:40]]
    assert 0 < max(differ) < 120
    assert generate.alignment("outbreak", generate.Settings(n=n, length=length, seed=4))[1] == seqs


def test_readme_block_is_replaced_in_place(tmp_path):
    readme = tmp_path / "README.md"
    readme.write_text(f"intro\n{runner.BEGIN_MARK}\nold table\n{runner.END_MARK}\noutro\n")
    runner.write_readme(readme, "new table\n")
    runner.write_readme(readme, "newer table\n")
    assert readme.read_text() == (
        f"intro\n{runner.BEGIN_MARK}\nnewer table\n{runner.END_MARK}\noutro\n")
