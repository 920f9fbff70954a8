"""The Python API: models, seeds, supports, agreement with _nj_py,
conversions and errors."""

import subprocess
import sys

import numpy as np
import pytest

import _nj_py
import njkit
from kit_samples import EXAMPLE, SEQS
from njkit import _newick


def _read_fasta(path):
    records = path.read_text().split(">")[1:]
    return [(r.split("\n", 1)[0].split()[0], "".join(r.split("\n", 1)[1].split()))
            for r in records]


def _supports(newick):
    return [node.support for node in _newick.postorder(_newick.parse(newick))
            if node.children and node.support is not None]


def test_percent_is_count_times_100_over_n_rounded_half_up():
    # With 8 replicates every odd count is an exact half: 1 -> 12.5 -> 13.
    counts = njkit.tree(SEQS, bootstrap=8, seed=11)
    percent = njkit.tree(SEQS, bootstrap=8, seed=11, percent=True)
    raw, rounded = _supports(counts.newick), _supports(percent.newick)
    assert len(raw) == len(rounded) > 0
    assert rounded == [(200 * c + 8) // 16 for c in raw]
    assert counts.counts.dtype == np.uint64 and len(counts.counts) == len(SEQS) - 1
    assert set(raw) <= set(counts.counts.tolist())


def test_seeded_replicates_repeat_for_any_thread_count():
    runs = [njkit.tree(EXAMPLE, bootstrap=10, seed=2024, threads=t) for t in (1, 2, 3)]
    assert len({run.newick for run in runs}) == 1
    assert all(np.array_equal(run.counts, runs[0].counts) for run in runs)
    drawn = njkit.tree(SEQS, bootstrap=5)
    assert isinstance(drawn.seed, int) and 0 <= drawn.seed < 2**64
    assert njkit.tree(SEQS, bootstrap=5, seed=drawn.seed).newick == drawn.newick


@pytest.mark.parametrize("model", ["PDiff", "JukesCantor", "Kimura2P"])
def test_literal_rules_give_the_nj_py_tree(model):
    rows = _read_fasta(EXAMPLE)
    expected = _nj_py.nj({"msa": rows, "n_bootstrap_samples": 0, "substitution_model": model})
    assert njkit.tree(EXAMPLE, model=model, missing="literal").newick == expected


def test_literal_rules_give_the_nj_py_tree_for_protein():
    rows = [("a", "MKVLAAGIVG"), ("b", "MKVLSAGIVA"), ("c", "MRVLSAGLVA"), ("d", "MRILSTGLXA"),
            ("e", "-KILSTGLWA")]
    for model in ("PDiff", "Poisson"):
        expected = _nj_py.nj({"msa": rows, "n_bootstrap_samples": 0, "substitution_model": model})
        assert njkit.tree(rows, model=model, missing="literal").newick == expected


def test_model_names_and_aliases():
    trees = {}
    for name in ("k2p", "Kimura", "KIMURA2P", "jc", "JC69", "Jukes-Cantor", "p", "p-distance",
                 "PDiff", None):
        tree = njkit.tree(SEQS, model=name)
        trees.setdefault(tree.model, set()).add(tree.newick)
    assert sorted(trees) == ["JukesCantor", "Kimura2P", "PDiff"]
    assert all(len(texts) == 1 for texts in trees.values())
    assert njkit.tree([("a", "MKVW"), ("b", "MKVL"), ("c", "MRIL")]).model == "Poisson"
    with pytest.raises(ValueError, match="unknown model 'hky'"):
        njkit.tree(SEQS, model="hky")


def test_conversions_keep_names_lengths_and_supports():
    rows = [("it's", SEQS[0][1]), ("a b,c", SEQS[1][1])] + SEQS[2:]
    tree = njkit.tree(rows, bootstrap=10, seed=5, percent=True)
    names = sorted(name for name, _ in rows)
    supports = sorted(_supports(tree.newick))
    skbio = pytest.importorskip("skbio")
    converted = tree.to_skbio()
    assert isinstance(converted, skbio.TreeNode)
    assert sorted(tip.name for tip in converted.tips()) == names
    assert sorted(n.support for n in converted.non_tips() if n.support is not None) == supports
    pytest.importorskip("Bio")
    phylo = tree.to_biopython()
    assert sorted(leaf.name for leaf in phylo.get_terminals()) == names
    assert sorted(c.confidence for c in phylo.get_nonterminals()
                  if c.confidence is not None) == supports
    assert phylo.total_branch_length() == pytest.approx(converted.descending_branch_length())


def test_importing_njkit_imports_no_extra():
    code = ("import sys, njkit; print(sorted({m.split('.')[0] for m in sys.modules} & "
            "{'Bio', 'skbio', 'matplotlib', 'tqdm', 'pandas', 'scipy', 'distributed'}))")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60)
    assert run.stdout == "[]\n", run.stderr


ERRORS = [
    # (data, arguments, exception, words of the message)
    (SEQS[:2] + [("short", "ACGT")], {}, ValueError, "short"),
    (SEQS, {"model": "poisson"}, ValueError, "Poisson is a protein model"),
    ([("a", "MKVW"), ("b", "MKVL")], {"model": "jc"}, ValueError, "Selected model is for DNA"),
    ([("a", "AC--"), ("b", "--GT"), ("c", "ACGT")], {}, ValueError, '"a" and "b"'),
    ([], {}, ValueError, "no sequences"),
    ([("a", 5)], {}, TypeError, "'a'"),
    (["AC", "GT"], {}, TypeError, "item 0"),
    (np.zeros((2, 2)), {}, ValueError, "names="),
    (np.zeros(4), {"names": list("abc")}, ValueError, "condensed"),
    (np.zeros((2, 2)), {"names": ["a", "b"], "bootstrap": 3}, ValueError, "distance matrix"),
    (SEQS, {"bootstrap": 2, "seed": -1}, ValueError, "seed"),
    (SEQS, {"support": "edge"}, ValueError, "support"),
    (SEQS, {"threads": 0}, ValueError, "threads"),
    (SEQS, {"bootstrap": 2, "client": object()}, TypeError, "distributed.Client"),
    (42, {}, TypeError, "cannot read a int"),
]


@pytest.mark.parametrize("data, arguments, exception, words", ERRORS)
def test_errors(data, arguments, exception, words):
    with pytest.raises(exception) as raised:
        njkit.tree(data, **arguments)
    assert words in str(raised.value) and "\n" not in str(raised.value)


def test_undefined_distances_can_be_nan():
    rows = [("a", "AC--"), ("b", "--GT"), ("c", "ACGT")]
    matrix = njkit.distances(rows, undefined="nan", model="p").matrix
    assert np.isnan(matrix[0, 1]) and matrix[0, 2] == 0.0
