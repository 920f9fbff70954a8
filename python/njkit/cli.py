"""The `njkit` command: an alignment or distance matrix in; the tree, its
distance matrix and its picture out."""

import argparse
import os
import sys

from . import __version__, _api, _bootstrap, _dask, _plot
from ._atomic import StagedOutputs
from ._extras import MissingExtraError, require
from ._inputs import FORMATS

_INTERRUPTED = 130


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, like every other error of the command.
        self.exit(2, f"njkit: error: {message} (see njkit --help)\n")


def _whole(minimum):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be {minimum} or more: {value}")
        return value

    return parse


def _dask_address(text):
    try:
        _dask.parse_local_workers(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _parser():
    parser = _Parser(
        prog="njkit",
        description="Exact Neighbor-Joining tree of an alignment (FASTA, .gz too; PHYLIP, "
                    "Stockholm, Clustal, Nexus with njkit[formats]) or of a PHYLIP distance "
                    "matrix, with reproducible bootstrap support. The tree goes to standard "
                    "output unless -o is given.")
    add = parser.add_argument
    add("alignment", metavar="ALIGNMENT", help="input file; - reads standard input")
    add("-m", "--model", help="PDiff (p), JukesCantor (jc), Kimura2P (k2p) or Poisson, any "
        "case (default: Kimura2P for DNA, Poisson for protein)")
    add("-b", "--bootstrap", type=_whole(0), default=0, metavar="N",
        help="bootstrap replicates (default: 0)")
    add("--seed", type=_whole(0), metavar="S",
        help="seed of the replicates (default: drawn and reported on standard error)")
    add("-t", "--threads", type=_whole(1), metavar="THREADS",
        help="threads (default: the cores this process may use); results do not depend on it")
    add("--support", choices=("split", "clade"), default="split",
        help="count unrooted splits (default) or rooted clades")
    add("--percent", action="store_true", help="supports as integer percentages")
    add("--missing", choices=("skip", "literal"), default="skip",
        help="skip: compare a pair only where both hold a residue (default); literal: gaps "
             "count in the length and ambiguity codes are states")
    add("--format", metavar="FMT", help=f"input format: {', '.join(FORMATS)} "
        "(default: from the extension)")
    add("-o", "--output", metavar="OUT", help="write the tree to OUT")
    add("--distances", metavar="OUT.phy", help="write the distance matrix in PHYLIP form")
    add("--plot", metavar="OUT.svg|OUT.png", help="draw the tree (needs njkit[plot])")
    add("--dask", metavar="ADDRESS", type=_dask_address,
        help="count the replicates on the Dask scheduler at ADDRESS, or on a cluster of W "
             "local worker processes with local:W (needs njkit[dask])")
    add("-q", "--quiet", action="store_true", help="no progress bar and no seed report")
    add("--version", action="version", version=f"njkit {__version__}")
    return parser


def _check_outputs(args):
    """Refuses, before any work, outputs that could not be written."""
    if args.plot:
        _plot.picture_format(args.plot)
        require("matplotlib", "plot", "--plot")
    for path in (args.output, args.distances, args.plot):
        if path is None:
            continue
        directory = os.path.dirname(path) or "."
        if not os.path.isdir(directory):
            raise ValueError(f"cannot write {path}: no directory {directory}")
        if os.path.isdir(path):
            raise ValueError(f"cannot write {path}: it is a directory")


def _progress_bar(args):
    if args.quiet or not args.bootstrap or not sys.stderr.isatty():
        return None
    from tqdm import tqdm

    # A terminal that reports no size (some pseudo-terminals do) would hide
    # the bar: give it 80 columns and 24 lines instead.
    sized = os.get_terminal_size(sys.stderr.fileno()).columns > 0
    unsized = {} if sized else {"ncols": 80, "nrows": 24}
    return tqdm(total=args.bootstrap, desc="bootstrap", unit="replicate", file=sys.stderr,
                dynamic_ncols=sized, **unsized)


def _report_seed(args, seed):
    if args.bootstrap and args.seed is None and not args.quiet:
        print(f"njkit: bootstrap seed {seed} (repeat the run with --seed {seed})",
              file=sys.stderr)


def _run(args):
    _check_outputs(args)
    seed = _bootstrap.resolve_seed(args.seed)
    if not (args.dask and args.bootstrap):
        return _run_with(args, seed, None)
    with _dask.connect(args.dask) as client:
        return _run_with(args, seed, client)


def _run_with(args, seed, client):
    bar = _progress_bar(args)
    try:
        source = sys.stdin.buffer if args.alignment == "-" else args.alignment
        tree, matrix = _api.build(
            source, model=args.model, bootstrap=args.bootstrap, seed=seed,
            threads=args.threads, support=args.support, percent=args.percent,
            missing=args.missing, undefined="error", alphabet="auto", format=args.format,
            names=None, client=client, keep_distances=args.distances is not None,
            progress=None if bar is None else lambda done, total: bar.update(done - bar.n))
    except KeyboardInterrupt:
        if bar is not None:
            bar.close()  # before the report, which would land inside the bar
        _report_seed(args, seed)  # a run cut short can be repeated too
        raise
    finally:
        if bar is not None:
            bar.close()
    _report_seed(args, seed)
    with StagedOutputs() as outputs:
        if args.distances:
            outputs.stage(args.distances, lambda handle: matrix._write(handle))
        if args.output:
            outputs.stage(args.output, lambda handle: handle.write(tree.newick + "\n"))
        if args.plot:
            fmt = _plot.picture_format(args.plot)
            outputs.stage(args.plot, lambda handle: _plot.draw(tree, handle, fmt), binary=True)
        outputs.commit()
    if not args.output:
        sys.stdout.write(tree.newick + "\n")
        sys.stdout.flush()
    return 0


def _describe(error):
    if isinstance(error, OSError) and error.filename is not None:
        return f"{error.filename}: {error.strerror or error}"
    if isinstance(error, MemoryError):
        return "not enough memory for this input"
    if isinstance(error, (ValueError, MissingExtraError, NotImplementedError)):
        return str(error)
    return f"{type(error).__name__}: {error}"


def main(argv=None):
    """Runs the command; returns its exit status."""
    args = _parser().parse_args(argv)
    try:
        return _run(args)
    except KeyboardInterrupt:
        print("njkit: interrupted", file=sys.stderr)
        return _INTERRUPTED
    except BrokenPipeError:
        # The reader of standard output went away (njkit ... | head): stop
        # quietly, and keep Python from complaining about the flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as error:  # every failure is one line, never a traceback
        print(f"njkit: error: {' '.join(_describe(error).split())}", file=sys.stderr)
        return 1
