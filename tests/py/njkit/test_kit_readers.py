"""Every way of handing njkit an alignment or a distance matrix gives the same
tree as the plain list of pairs."""

import io

import numpy as np
import pytest

import njkit
from kit_samples import FILES, SEQS, fasta_text, run_cli, write_file


@pytest.fixture(scope="module")
def reference():
    return njkit.tree(SEQS, threads=1).newick


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("case", FILES)
def test_every_file_format(tmp_path, reference, case, compress):
    name, text, needs_biopython = FILES[case]
    if needs_biopython:
        pytest.importorskip("Bio")
    path = write_file(tmp_path, name, text, compress)
    alignment = njkit.read_alignment(path)
    assert alignment.identifiers == [ident for ident, _ in SEQS]
    assert njkit.tree(path, threads=1).newick == reference


def test_open_files_and_standard_input(tmp_path, reference):
    path = write_file(tmp_path, "small.fa", fasta_text(), compress=True)
    with open(path, "rb") as handle:
        assert njkit.tree(handle, threads=1).newick == reference
    assert njkit.tree(io.StringIO(fasta_text()), threads=1).newick == reference
    run = run_cli("-", "-t", 1, input=fasta_text())
    assert (run.returncode, run.stdout) == (0, reference + "\n")


def test_format_argument_overrides_the_extension(tmp_path, reference):
    path = write_file(tmp_path, "small.data", fasta_text())
    assert njkit.tree(path, format="FASTA", threads=1).newick == reference
    with pytest.raises(ValueError, match="unknown format 'genbank'"):
        njkit.tree(path, format="genbank")


def test_in_memory_forms(reference):
    forms = {
        "list of pairs": SEQS,
        "tuple of lists": tuple([i, s] for i, s in SEQS),
        "dict": dict(SEQS),
        "bytes sequences": [(i, s.encode()) for i, s in SEQS],
        "_nj_py records": [{"identifier": i, "sequence": s} for i, s in SEQS],
        "generator": ((i, s) for i, s in SEQS),
    }
    bio = pytest.importorskip("Bio.Align")
    from Bio.Seq import Seq
    from Bio.SeqRecord import SeqRecord

    records = [SeqRecord(Seq(s), id=i) for i, s in SEQS]
    forms["SeqRecord list"] = records
    forms["MultipleSeqAlignment"] = bio.MultipleSeqAlignment(records)
    for form, data in forms.items():
        assert njkit.tree(data, threads=1).newick == reference, form


def test_scikit_bio_forms(reference):
    skbio = pytest.importorskip("skbio")
    msa = skbio.TabularMSA([skbio.DNA(s.upper()) for _, s in SEQS], index=[i for i, _ in SEQS])
    assert njkit.tree(msa, threads=1).newick == reference
    matrix = njkit.distances(SEQS, threads=1).to_skbio()
    assert njkit.tree(matrix).newick == reference


def test_distance_matrices(tmp_path, reference):
    result = njkit.distances(SEQS, threads=1)
    matrix, names = result
    assert matrix.shape == (6, 6) and names == [i for i, _ in SEQS]
    upper = matrix[np.triu_indices(6, 1)]
    result.write_phylip(tmp_path / "square.phy")
    lower = "6\n" + "".join(
        f"{name}\n" if k == 0 else f"{name} " + " ".join(map(repr, matrix[k, :k].tolist())) + "\n"
        for k, name in enumerate(names))
    (tmp_path / "lower.dist").write_text(lower)
    for form in (result, matrix.copy(), upper, tmp_path / "square.phy", tmp_path / "lower.dist"):
        named = {"names": names} if isinstance(form, np.ndarray) else {}
        assert njkit.tree(form, **named).newick == reference
    assert np.array_equal(njkit.distances(tmp_path / "square.phy").matrix, matrix)


@pytest.mark.parametrize("names", [
    ["a", "b c", "0123456789"],  # strict ten-column field, a blank inside
    ["a_name_of_eleven", "b", "c"],  # relaxed form
])
def test_phylip_matrix_names_round_trip(tmp_path, names):
    values = np.array([[0.0, 0.5, np.inf], [0.5, 0.0, 1 / 3], [np.inf, 1 / 3, 0.0]])
    njkit.distances(values, names=names).write_phylip(tmp_path / "m.phy")
    back = njkit.distances(tmp_path / "m.phy")
    assert back.identifiers == names
    assert np.array_equal(back.matrix, values)


def test_phylip_matrix_refuses_unwritable_names(tmp_path):
    matrix = njkit.distances(np.zeros((2, 2)), names=["a long name", "b"])
    with pytest.raises(ValueError, match="'a long name'"):
        matrix.write_phylip(tmp_path / "m.phy")
    assert list(tmp_path.iterdir()) == []
