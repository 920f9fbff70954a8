"""Shared inputs of the njkit tests: one small alignment written in every
file format the package reads, and a runner for the command line."""

import gzip
import pathlib
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[3]
EXAMPLE = REPO / "examples" / "data" / "dna_100_MADE1_seed.fa"

# Six DNA sequences of 44 columns with gaps, an N and lower case; every pair
# shares compared columns under both missing-data rules.
SEQS = [
    ("alpha", "ACGTACGTAC-GTACGTTACGATCGATCGGATCCATGCAAGTCA"),
    ("beta", "ACGTACGTTC-GTACGTAACGATCGTTCGGATCCATGCTAGTCA"),
    ("gamma", "ACCTACGAACNGTTCGTAACGTTCGATCGGAACCATGGTAGTGA"),
    ("delta", "TCCAACGAAGAGTTCGTAACGTTCGATCGG--CCTTGGTAGTGA"),
    ("epsilon", "TCCAACGTAGAGTTCCTAACGTTGGATCAGATCCTTGGTACTGA"),
    ("zeta", "tccaacgtagagttcctaacgttggatctgatcctaggtactga"),
]


def _blocks(seq, width=20):
    return [seq[k:k + width] for k in range(0, len(seq), width)]


def _phylip(strict, interleaved):
    def name(ident):
        return f"{ident:<10}"[:10] if strict else f"{ident} "

    lines = [f"{len(SEQS)} {len(SEQS[0][1])}"]
    if interleaved:
        blocks = [_blocks(seq) for _, seq in SEQS]
        lines += [name(ident) + block[0] for (ident, _), block in zip(SEQS, blocks)]
        for k in range(1, len(blocks[0])):
            lines += [""] + [block[k] for block in blocks]
    else:
        for ident, seq in SEQS:
            first, *rest = _blocks(seq)
            lines += [name(ident) + first] + rest
    return "\n".join(lines) + "\n"


def _stockholm():
    return "# STOCKHOLM 1.0\n" + "".join(f"{i:<10} {s}\n" for i, s in SEQS) + "//\n"


def _clustal():
    blocks = [_blocks(seq, 30) for _, seq in SEQS]
    text = "CLUSTAL W (1.83) multiple sequence alignment\n\n"
    for k in range(len(blocks[0])):
        text += "\n" + "".join(f"{i:<12}{b[k]}\n" for (i, _), b in zip(SEQS, blocks))
    return text


def _nexus():
    rows = "".join(f"  {i} {s}\n" for i, s in SEQS)
    return (f"#NEXUS\nBEGIN DATA;\nDIMENSIONS NTAX={len(SEQS)} NCHAR={len(SEQS[0][1])};\n"
            f"FORMAT DATATYPE=DNA MISSING=? GAP=-;\nMATRIX\n{rows};\nEND;\n")


def fasta_text(rows=SEQS):
    return "".join(f">{i} some description\n" + "\n".join(_blocks(s)) + "\n" for i, s in rows)


# name: (file name, text, needs Biopython)
FILES = {
    "fasta": ("small.fa", fasta_text(), False),
    "fasta, unknown extension": ("small.txt", fasta_text(), False),
    "phylip relaxed interleaved": ("small.phy", _phylip(False, True), True),
    "phylip relaxed sequential": ("small.phy", _phylip(False, False), True),
    "phylip strict interleaved": ("small.phy", _phylip(True, True), True),
    "phylip strict sequential": ("small.phylip", _phylip(True, False), True),
    "stockholm": ("small.sto", _stockholm(), True),
    "clustal": ("small.aln", _clustal(), True),
    "nexus": ("small.nex", _nexus(), True),
}


def write_file(directory, name, text, compress=False):
    path = pathlib.Path(directory) / (name + (".gz" if compress else ""))
    data = text.encode()
    path.write_bytes(gzip.compress(data) if compress else data)
    return path


def run_cli(*args, cwd=None, input=None, timeout=300):
    """Runs `python -m njkit ARGS` and returns the completed process."""
    return subprocess.run([sys.executable, "-m", "njkit", *map(str, args)], cwd=cwd,
                          input=input, capture_output=True, text=True, timeout=timeout)
