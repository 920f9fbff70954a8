"""Outcomes of a run: the Newick text, returned errors as ValueError,
internal failures as PanicException, and running out of memory."""

import re

import pytest

import _nj_py
from conftest import ROWS, config, leaf_names, msa_dicts, real_allocator


def seqs(*sequences):
    return [{"identifier": f"s{k}", "sequence": s} for k, s in enumerate(sequences)]


def test_result_is_the_newick_text(reference_tree):
    assert type(reference_tree) is str
    assert sorted(leaf_names(reference_tree)) == sorted(name for name, _ in ROWS)
    assert re.fullmatch(r"[^;\s]+;", reference_tree)


def test_single_sequence():
    assert _nj_py.nj(config(msa=[{"identifier": "seq1", "sequence": "ACGT"}])) == "seq1;"


def test_non_ascii_identifiers_round_trip():
    rows = [("héllo", "ACGT"), ("wörld", "ACGA"), ("日本", "AGGA")]
    tree = _nj_py.nj(config(msa=msa_dicts(rows), substitution_model="PDiff"))
    assert sorted(leaf_names(tree)) == sorted(name for name, _ in rows)


@pytest.mark.parametrize(
    "msa, model, message",
    [
        ([], "PDiff", "Input MSA is empty"),
        ([], "Poisson", "Input MSA is empty"),
        (seqs("ACGT", "ACGA"), "Poisson", "Poisson is a protein model; cannot use with DNA"),
        (seqs("", ""), "Poisson", "Poisson is a protein model; cannot use with DNA"),
        (seqs("ACGT", "ACG?"), "JukesCantor", "Selected model is for DNA; cannot use with Protein"),
        (seqs("MKVL", "MKIL"), "Kimura2P", "Selected model is for DNA; cannot use with Protein"),
    ],
)
def test_returned_errors_become_value_error(msa, model, message):
    with pytest.raises(ValueError) as raised:
        _nj_py.nj(config(msa=msa, substitution_model=model))
    assert type(raised.value) is ValueError
    assert str(raised.value) == message


UNEQUAL = ('All sequences in an MSA must have the same length: '
           '"All sequences must have the same length. Expected 4, got 3"')


@pytest.mark.parametrize("model", ["PDiff", "Poisson"])
def test_unequal_lengths_panic(model, capsys):
    cfg = config(msa=seqs("ACGT", "ACGT", "ACG"), substitution_model=model)
    with pytest.raises(_nj_py.PanicException) as raised:
        try:
            _nj_py.nj(cfg)
        except Exception:  # noqa: BLE001 - a panic must pass through
            pytest.fail("PanicException was caught as an Exception")
    assert type(raised.value) is _nj_py.PanicException
    assert str(raised.value) == UNEQUAL
    assert raised.value.args == (UNEQUAL,)
    assert UNEQUAL in capsys.readouterr().err


def test_module_still_works_after_failures(reference_tree):
    for bad in [None, config(msa=[]), config(msa=seqs("A", "AC")), config(x={1})]:
        with pytest.raises(BaseException):
            _nj_py.nj(bad)
    assert _nj_py.nj(config()) == reference_tree


def test_bootstrap_support_counts():
    n = 3
    tree = _nj_py.nj(config(n_bootstrap_samples=n))
    support = [int(s) for s in re.findall(r"\)(\d+)", tree)]
    assert all(0 < s <= n for s in support)
    without = re.sub(r"\)\d+", ")", tree)
    assert without == _nj_py.nj(config())


@real_allocator
def test_out_of_memory_raises_memory_error():
    # 200,000 sequences need a distance matrix of 2e10 doubles (160 GB),
    # which cannot be allocated; the allocation fails at once.
    msa = [{"identifier": str(k), "sequence": "A"} for k in range(200_000)]
    cfg = config(msa=msa, substitution_model="PDiff")
    for _ in range(2):
        with pytest.raises(MemoryError):
            _nj_py.nj(cfg)
    assert _nj_py.nj(config(msa=msa[:3], substitution_model="PDiff")).count(",") == 2
