"""Builds a Neighbor-Joining tree with bootstrap support from a FASTA alignment.

Usage: python examples/run_example.py [ALIGNMENT.fa] [--bootstrap N] [--model NAME]

Prints the Newick tree on standard output and a progress line on standard error.
"""

import argparse
import pathlib
import sys

import _nj_py

HERE = pathlib.Path(__file__).resolve().parent


def read_fasta(path):
    """Yields (identifier, sequence) records; sequences may span several lines."""
    identifier, lines = None, []
    with open(path, encoding="utf-8") as handle:
        for line in handle:
            line = line.strip()
            if line.startswith(">"):
                if identifier is not None:
                    yield identifier, "".join(lines)
                identifier, lines = line[1:].strip(), []
            elif line:
                lines.append(line)
    if identifier is not None:
        yield identifier, "".join(lines)


def report_progress(completed, total):
    sys.stderr.write(f"\rbootstrap replicates: {completed}/{total}")
    if completed == total:
        sys.stderr.write("\n")
    sys.stderr.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("alignment", nargs="?", default=HERE / "data" / "dna_100_MADE1_seed.fa")
    parser.add_argument("--bootstrap", type=int, default=100, help="number of replicates")
    parser.add_argument("--model", default="Kimura2P",
                        choices=["PDiff", "JukesCantor", "Kimura2P", "Poisson"])
    args = parser.parse_args()

    config = {
        "msa": [{"identifier": name, "sequence": seq} for name, seq in read_fasta(args.alignment)],
        "n_bootstrap_samples": args.bootstrap,
        "substitution_model": args.model,
    }
    print(_nj_py.nj(config, on_progress=report_progress))


if __name__ == "__main__":
    main()
