"""Turns what a caller hands over (a file, sequences in memory, a distance
matrix) into the core's encoded `Alignment` or its `Distances`."""

import gzip
import io
import math
import os
import sys
import zlib
from collections.abc import Iterator

import numpy as np

from . import _core, _phylip
from ._extras import require

FORMATS = ("fasta", "phylip", "phylip-relaxed", "phylip-strict", "stockholm", "clustal",
           "nexus", "phylip-distance")
_TITLE = {"phylip": "PHYLIP", "phylip-relaxed": "PHYLIP", "phylip-strict": "PHYLIP",
          "stockholm": "Stockholm", "clustal": "Clustal", "nexus": "Nexus"}
_EXTENSIONS = {
    ".fa": "fasta", ".fasta": "fasta", ".fas": "fasta", ".fna": "fasta", ".faa": "fasta",
    ".ffn": "fasta", ".mfa": "fasta",
    ".aln": "clustal", ".clustal": "clustal", ".clw": "clustal",
    ".sto": "stockholm", ".stk": "stockholm", ".stockholm": "stockholm",
    ".phy": "phylip", ".phylip": "phylip",
    ".nex": "nexus", ".nexus": "nexus", ".nxs": "nexus",
    ".dist": "phylip-distance",
}
_GZIP_MAGIC = b"\x1f\x8b"
_CHUNK = 1 << 22


def load(data, *, format=None, names=None, missing="skip", alphabet="auto"):
    """(source, owned): an `_core.Alignment` or `_core.Distances`, and whether
    it was made here (so that building a tree may consume it)."""
    if names is not None and not isinstance(data, np.ndarray):
        raise ValueError("names= goes with a numpy distance matrix only")
    if format is not None and not isinstance(data, (str, os.PathLike)):
        raise ValueError("format= goes with a file path only")
    if isinstance(data, (_core.Alignment, _core.Distances)):
        return data, False
    matrix_core = getattr(data, "_njkit_distances", None)  # an njkit.Distances
    if isinstance(matrix_core, _core.Distances):
        return matrix_core, False
    if isinstance(data, (str, os.PathLike)):
        return _load_path(os.fspath(data), format, missing, alphabet), True
    if isinstance(data, np.ndarray):
        return _from_array(data, names), True
    pairs = _foreign_alignment(data)
    if pairs is None and isinstance(data, (list, tuple, Iterator)):
        pairs = _pairs(data)
    elif pairs is None and isinstance(data, dict):
        pairs = [(ident, _sequence(seq, ident)) for ident, seq in data.items()]
    if pairs is not None:
        return _from_pairs(pairs, missing, alphabet), True
    matrix = _foreign_matrix(data)
    if matrix is not None:
        return matrix, True
    raise TypeError(
        f"cannot read a {type(data).__name__}: give a file path, a list of (identifier, "
        "sequence) pairs, a dict, a Biopython or scikit-bio alignment, a numpy distance "
        "matrix with names=, or a scikit-bio DistanceMatrix"
    )


def format_of(path, format):
    """The format named by `format`, or by the path's extension (None when the
    extension says nothing)."""
    if format is not None:
        fmt = str(format).lower()
        if fmt not in FORMATS:
            raise ValueError(f"unknown format {format!r}; choose from {', '.join(FORMATS)}")
        return fmt
    stem = path[:-3] if path.lower().endswith(".gz") else path
    return _EXTENSIONS.get(os.path.splitext(stem)[1].lower())


def _load_path(path, format, missing, alphabet):
    fmt = format_of(path, format)
    compressed = _is_gzip(path)
    if fmt is None:
        fmt = _sniff(_head(path, compressed), path)
    if fmt == "fasta":
        return _read_fasta(path, compressed, missing, alphabet)
    text = _read_text(path, compressed)
    if not text.strip():
        raise ValueError(f"{path}: the file is empty")
    text = text.lstrip()
    first_line = text.split("\n", 1)[0]
    if fmt == "phylip-distance" or (fmt == "phylip" and _phylip.matrix_count(first_line) is not None):
        names, matrix = _phylip.read_matrix(text, path)
        return _core.distances_from_array(names, np.ascontiguousarray(matrix), layout="square")
    records = _read_with_biopython(text, fmt, path)
    return _from_pairs(records, missing, alphabet)


def _is_gzip(path):
    with open(path, "rb") as handle:
        return handle.read(2) == _GZIP_MAGIC


def _gzip_chunks(path, size=_CHUNK):
    try:
        with gzip.open(path, "rb") as handle:
            while chunk := handle.read(size):
                yield chunk
    except (gzip.BadGzipFile, EOFError, zlib.error) as error:
        raise ValueError(f"{path}: damaged gzip data ({error})") from None


def _head(path, compressed):
    """The first bytes of the file's content, as text."""
    if compressed:
        data = next(_gzip_chunks(path, 1 << 16), b"")
    else:
        with open(path, "rb") as handle:
            data = handle.read(1 << 16)
    return data.decode("utf-8", errors="replace")


def _read_fasta(path, compressed, missing, alphabet):
    if os.path.getsize(path) == 0:
        raise ValueError(f"{path}: the file is empty")
    if not compressed:
        return _core.read_fasta(path, missing=missing, alphabet=alphabet)
    parser = _core.FastaParser(missing=missing, alphabet=alphabet, source=path)
    for chunk in _gzip_chunks(path):
        parser.feed(chunk)
    return parser.finish()


def _read_text(path, compressed):
    if compressed:
        data = b"".join(_gzip_chunks(path))
    else:
        with open(path, "rb") as handle:
            data = handle.read()
    try:
        return data.decode("utf-8-sig").replace("\r\n", "\n")
    except UnicodeDecodeError as error:
        raise ValueError(f"{path}: not UTF-8 text (byte {error.start})") from None


def _sniff(head, path):
    """The format of a file whose extension says nothing, from its first line."""
    if not head.strip():
        raise ValueError(f"{path}: the file is empty")
    first = head.lstrip().split("\n", 1)[0].strip()
    fields = first.split()
    if first.startswith(">"):
        return "fasta"
    if first.upper().startswith("# STOCKHOLM"):
        return "stockholm"
    if first.upper().startswith(("CLUSTAL", "MUSCLE")):
        return "clustal"
    if first.upper().startswith("#NEXUS"):
        return "nexus"
    if 1 <= len(fields) <= 2 and all(field.isdigit() for field in fields):
        return "phylip"
    raise ValueError(f"{path}: cannot tell the format; give it with format= (--format): "
                     f"{', '.join(FORMATS)}")


def _read_with_biopython(text, fmt, path):
    AlignIO = require("Bio.AlignIO", "formats", f"reading {_TITLE[fmt]} files")
    try:
        if fmt.startswith("phylip"):
            alignment = _read_phylip(text, fmt)
        else:
            alignment = AlignIO.read(io.StringIO(text), fmt)
    except ValueError as error:
        raise ValueError(f"{path}: {_one_line(error)}") from None
    return [(record.id, str(record.seq)) for record in alignment]


def _read_phylip(text, fmt):
    """A PHYLIP alignment in whichever of its forms matches its count line:
    relaxed names (up to the first blank) or strict ones (ten columns), the
    sequences interleaved in blocks or each in one piece."""
    from Bio.AlignIO import PhylipIO

    class RelaxedSequential(PhylipIO.SequentialPhylipIterator):
        _split_id = PhylipIO.RelaxedPhylipIterator._split_id

    fields = text.split("\n", 1)[0].split()
    if len(fields) != 2 or not all(field.isdigit() for field in fields):
        raise ValueError("the first line of a PHYLIP alignment gives the number of "
                         "sequences and of columns")
    count, length = map(int, fields)
    readers = {
        "phylip": [PhylipIO.RelaxedPhylipIterator, RelaxedSequential,
                   PhylipIO.PhylipIterator, PhylipIO.SequentialPhylipIterator],
        "phylip-relaxed": [PhylipIO.RelaxedPhylipIterator, RelaxedSequential],
        "phylip-strict": [PhylipIO.PhylipIterator, PhylipIO.SequentialPhylipIterator],
    }[fmt]
    first_error = None
    for reader in readers:
        try:
            alignment = next(reader(io.StringIO(text)))
        except (ValueError, StopIteration) as error:
            first_error = first_error or error
            continue
        if len(alignment) == count and all(len(record.seq) == length for record in alignment):
            return alignment
    detail = f" ({_one_line(first_error)})" if str(first_error or "") else ""
    raise ValueError(f"no reading of it gives the {count} sequences of {length} columns that "
                     f"its first line announces{detail}")


def _one_line(error):
    return " ".join(str(error).split())


def _pairs(items):
    pairs = []
    for k, item in enumerate(items):
        if hasattr(item, "id") and hasattr(item, "seq"):  # a Biopython SeqRecord
            pairs.append((item.id, _sequence(item.seq, item.id)))
        elif isinstance(item, dict) and item.keys() == {"identifier", "sequence"}:
            pairs.append((item["identifier"], _sequence(item["sequence"], item["identifier"])))
        elif isinstance(item, (tuple, list)) and len(item) == 2:
            pairs.append((item[0], _sequence(item[1], item[0])))
        else:
            raise TypeError(f"item {k} of the alignment is not an (identifier, sequence) pair")
    return pairs


def _sequence(seq, ident):
    if isinstance(seq, (str, bytes)):
        return seq
    if isinstance(seq, (bytearray, memoryview)):
        return bytes(seq)
    if type(seq).__module__.split(".")[0] in ("Bio", "skbio"):
        return str(seq)
    raise TypeError(f"the sequence of {ident!r} is a {type(seq).__name__}, not a str")


def _from_pairs(pairs, missing, alphabet):
    identifiers = []
    for ident, _ in pairs:
        if not isinstance(ident, str):
            raise TypeError(f"identifier {ident!r} is a {type(ident).__name__}, not a str")
        identifiers.append(ident)
    if not identifiers:
        raise ValueError("the alignment holds no sequences")
    return _core.alignment_from_sequences(identifiers, [seq for _, seq in pairs],
                                          missing=missing, alphabet=alphabet)


def _loaded(module):
    """A module the caller has already imported, or None: objects of an
    optional library can only exist once it is imported, so there is no need
    to import it here."""
    return sys.modules.get(module)


def _foreign_alignment(data):
    """(identifier, sequence) pairs of a Biopython or scikit-bio alignment."""
    bio = _loaded("Bio.Align")
    if bio is not None and isinstance(data, bio.MultipleSeqAlignment):
        return [(record.id, str(record.seq)) for record in data]
    if bio is not None and isinstance(data, getattr(bio, "Alignment", ())):
        return [(getattr(record, "id", None) or str(k), data[k])
                for k, record in enumerate(data.sequences)]
    skbio = _loaded("skbio")
    if skbio is not None and isinstance(data, skbio.TabularMSA):
        return [(str(label), str(seq)) for label, seq in zip(data.index, data)]
    return None


def _foreign_matrix(data):
    skbio = _loaded("skbio")
    if skbio is not None and isinstance(data, skbio.DistanceMatrix):
        return _from_array(np.asarray(data.data), [str(i) for i in data.ids])
    return None


def _from_array(values, names):
    try:
        values = np.ascontiguousarray(values, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"the distance matrix is not numeric: {error}") from None
    if values.ndim == 2 and values.shape[0] == values.shape[1]:
        n, layout = values.shape[0], "square"
    elif values.ndim == 1:
        n = (1 + math.isqrt(1 + 8 * values.size)) // 2
        if n * (n - 1) // 2 != values.size:
            raise ValueError(f"a condensed matrix holds n(n-1)/2 values; {values.size} is none")
        layout = "condensed"
    else:
        raise ValueError(f"a distance matrix is square or condensed, not of shape {values.shape}")
    if names is None:
        raise ValueError("a numpy distance matrix needs names= (one identifier per row)")
    names = [str(name) if isinstance(name, np.str_) else name for name in names]
    if len(names) != n or not all(isinstance(name, str) for name in names):
        raise ValueError(f"names= must be {n} strings, one per row of the matrix")
    if n == 0:
        raise ValueError("the distance matrix is empty")
    return _core.distances_from_array(names, values, layout=layout)
