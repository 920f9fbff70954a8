"""The njkit command, run as a user runs it: in a subprocess."""

import os
import pty
import subprocess
import sys

import pytest

import njkit
from kit_samples import EXAMPLE, SEQS, fasta_text, run_cli, write_file


def _supports(newick):
    return [node.support for node in njkit._newick.postorder(njkit._newick.parse(newick))
            if node.support is not None]


def test_main_job_on_the_bundled_alignment(tmp_path):
    run = run_cli(EXAMPLE, "-b", 20, "--seed", 7, "--percent", "-o", "tree.nwk",
                  "--distances", "d.phy", cwd=tmp_path)
    assert (run.returncode, run.stdout, run.stderr) == (0, "", "")
    newick = (tmp_path / "tree.nwk").read_text()
    assert newick.endswith(";\n") and newick.count(",") == 99
    supports = _supports(newick)
    assert supports and all(0 <= s <= 100 for s in supports)
    api = njkit.tree(EXAMPLE, bootstrap=20, seed=7, percent=True)
    assert newick == api.newick + "\n"
    assert njkit.distances(tmp_path / "d.phy").identifiers == api.identifiers


def test_threads_and_standard_output(tmp_path):
    outputs = {run_cli(EXAMPLE, "-b", 6, "--seed", 3, "-t", threads, "-q").stdout
               for threads in (1, 2)}
    assert len(outputs) == 1 and outputs.pop().endswith(";\n")


def test_seed_is_reported_and_repeats_the_run(tmp_path):
    path = write_file(tmp_path, "small.fa", fasta_text())
    first = run_cli(path, "-b", 5)
    assert first.returncode == 0
    seed = first.stderr.split("--seed ")[1].split(")")[0]
    again = run_cli(path, "-b", 5, "--seed", seed, "-q")
    assert (again.stdout, again.stderr) == (first.stdout, "")


def test_picture(tmp_path):
    pytest.importorskip("matplotlib")
    path = write_file(tmp_path, "small.fa", fasta_text())
    run = run_cli(path, "-b", 10, "--seed", 1, "--plot", "tree.svg", "-o", "t.nwk", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    svg = (tmp_path / "tree.svg").read_text()
    assert all(f">{ident}<" in svg for ident, _ in SEQS)  # names are text, not paths
    run = run_cli(path, "--plot", "tree.png", "-q", cwd=tmp_path)
    assert (tmp_path / "tree.png").read_bytes().startswith(b"\x89PNG")


def test_progress_bar_only_on_a_terminal(tmp_path):
    path = write_file(tmp_path, "small.fa", fasta_text())
    for quiet, shown in ((False, True), (True, False)):
        primary, secondary = pty.openpty()
        args = [sys.executable, "-m", "njkit", path, "-b", 30, "--seed", 1] + ["-q"] * quiet
        process = subprocess.Popen(list(map(str, args)), stdout=subprocess.DEVNULL,
                                   stderr=secondary)
        os.close(secondary)
        seen = b""
        while True:
            try:
                chunk = os.read(primary, 4096)
            except OSError:  # the terminal closed with the process
                break
            if not chunk:
                break
            seen += chunk
        assert process.wait(timeout=120) == 0
        os.close(primary)
        assert (b"30/30" in seen) == shown, seen


BAD_INPUTS = {
    # name: (file name, content or None for no file, extra arguments, words of the message)
    "missing file": ("absent.fa", None, [], "absent.fa"),
    "unknown format option": ("small.fa", fasta_text(), ["--format", "genbank"],
                              "unknown format 'genbank'"),
    "unrecognised content": ("small.xyz", "hello\n", [], "cannot tell the format"),
    "unequal lengths": ("ragged.fa", ">a\nACGT\n>b\nACGT\n>c\nACG\n>d\nACGT\n", [], '"c"'),
    "model for another alphabet": ("small.fa", fasta_text(), ["-m", "poisson"], "Poisson"),
    "unknown model": ("small.fa", fasta_text(), ["-m", "hky"], "unknown model 'hky'"),
    "empty file": ("empty.fa", "", [], "empty"),
    "empty file of unknown format": ("empty.txt", "", [], "empty"),
    "damaged gzip": ("bad.fa.gz", "\x1f\x8b\x08\x00garbage", [], "gzip"),
    "bootstrap of a matrix": ("m.phy", "2\na 0 1\nb 1 0\n", ["-b", "2"], "distance matrix"),
    "matrix with a bad value": ("m.phy", "2\na 0 x\nb 1 0\n", [], "'x' is not a number"),
    "negative bootstrap": ("small.fa", fasta_text(), ["-b", "-1"], "-b/--bootstrap"),
    "malformed Stockholm": ("bad.sto", "# STOCKHOLM 1.0\na ACGT\nb ACG\n//\n", [], "Stockholm"),
    "picture format": ("small.fa", fasta_text(), ["--plot", "tree.gif"], "tree.gif"),
}


@pytest.mark.parametrize("case", BAD_INPUTS)
def test_bad_input_is_one_line_and_writes_nothing(tmp_path, case):
    name, content, extra, words = BAD_INPUTS[case]
    if content is not None:
        (tmp_path / name).write_text(content, encoding="latin-1")
    before = set(tmp_path.iterdir())
    run = run_cli(name, *extra, "-o", "tree.nwk", "--distances", "d.phy", cwd=tmp_path)
    assert run.returncode != 0 and run.stdout == ""
    assert run.stderr.count("\n") == 1 and run.stderr.startswith("njkit: error: "), run.stderr
    assert words in run.stderr
    assert set(tmp_path.iterdir()) == before  # no output, no temporary file


def test_missing_extra_is_named(tmp_path):
    path = write_file(tmp_path, "small.sto", "# STOCKHOLM 1.0\na ACGT\nb ACGA\n//\n")
    # An import hook that hides Biopython, as on a machine without it.
    hide = ("import sys; sys.modules['Bio'] = None; from njkit.cli import main; "
            f"sys.exit(main([{str(path)!r}]))")
    run = subprocess.run([sys.executable, "-c", hide], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 1
    assert run.stderr == ("njkit: error: reading Stockholm files needs Biopython: "
                          "pip install njkit[formats]\n")
