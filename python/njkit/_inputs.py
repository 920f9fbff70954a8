"""Turns what a caller hands over (a file, sequences in memory, a distance
matrix) into the core's encoded `Alignment` or its `Distances`."""

import io
import itertools
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
_GZIP_WINDOW = 16 + zlib.MAX_WBITS
_CHUNK = 1 << 22


def load(data, *, format=None, names=None, missing="skip", alphabet="auto"):
    """(source, owned): an `_core.Alignment` or `_core.Distances`, and whether
    it was made here (so that building a tree may consume it)."""
    readable = isinstance(data, io.IOBase) or callable(getattr(data, "readable", None))
    if names is not None and not isinstance(data, np.ndarray):
        raise ValueError("names= goes with a numpy distance matrix only")
    if format is not None and not (readable or isinstance(data, (str, os.PathLike))):
        raise ValueError("format= goes with a file only")
    if isinstance(data, (_core.Alignment, _core.Distances)):
        return data, False
    matrix_core = getattr(data, "_njkit_distances", None)  # an njkit.Distances
    if isinstance(matrix_core, _core.Distances):
        return matrix_core, False
    if isinstance(data, (str, os.PathLike)):
        return _load_path(os.fspath(data), format, missing, alphabet), True
    if isinstance(data, np.ndarray):
        return _from_array(data, names), True
    foreign = _foreign_matrix(data)
    if foreign is not None:
        return foreign, True
    pairs = _foreign_alignment(data)
    if pairs is None and readable:
        source = getattr(data, "name", None)
        source = source if isinstance(source, str) else "<stream>"
        return _load_stream(data, format_of(source, format), source, missing, alphabet), True
    if pairs is None and isinstance(data, (list, tuple, Iterator)):
        pairs = _pairs(data)
    elif pairs is None and isinstance(data, dict):
        pairs = [(ident, _sequence(seq, ident)) for ident, seq in data.items()]
    if pairs is None:
        raise TypeError(
            f"cannot read a {type(data).__name__}: give a file path or an open file, a list "
            "of (identifier, sequence) pairs, a dict, a Biopython or scikit-bio alignment, a "
            "numpy distance matrix with names=, or a scikit-bio DistanceMatrix")
    return _from_pairs(pairs, missing, alphabet), True


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
    with open(path, "rb") as stream:
        if fmt == "fasta" and stream.read(2) != _GZIP_MAGIC:
            if os.fstat(stream.fileno()).st_size == 0:
                raise ValueError(f"{path}: the file is empty")
            # Plain FASTA files are read by the core itself, in large blocks.
            return _core.read_fasta(path, missing=missing, alphabet=alphabet)
        stream.seek(0)
        return _load_stream(stream, fmt, path, missing, alphabet)


def _load_stream(stream, fmt, source, missing, alphabet):
    """Reads an open file (text or binary, gzip-compressed or not)."""
    chunks = _stream_chunks(stream, source)
    first = next(chunks, b"")
    if fmt is None:
        fmt = _sniff(first[:1 << 16].decode("utf-8", errors="replace"), source)
    chunks = itertools.chain([first], chunks)
    if fmt == "fasta":
        parser = _core.FastaParser(missing=missing, alphabet=alphabet, source=source)
        for chunk in chunks:
            parser.feed(chunk)
        return parser.finish()
    try:
        text = b"".join(chunks).decode("utf-8-sig").replace("\r\n", "\n").lstrip()
    except UnicodeDecodeError as error:
        raise ValueError(f"{source}: not UTF-8 text (byte {error.start})") from None
    if not text:
        raise ValueError(f"{source}: the file is empty")
    first_line = text.split("\n", 1)[0]
    if fmt == "phylip-distance" or (fmt == "phylip" and _phylip.matrix_count(first_line) is not None):
        names, matrix = _phylip.read_matrix(text, source)
        return _core.distances_from_array(names, np.ascontiguousarray(matrix), layout="square")
    return _from_pairs(_read_with_biopython(text, fmt, source), missing, alphabet)


def _stream_chunks(stream, source):
    """The content of an open file as bytes, decompressed when it is gzip."""
    def raw():
        while chunk := stream.read(_CHUNK):
            yield chunk.encode() if isinstance(chunk, str) else bytes(chunk)

    chunks = raw()
    first = next(chunks, b"")
    chunks = itertools.chain([first], chunks)
    if first.startswith(_GZIP_MAGIC):
        chunks = _gunzip(chunks, source)
    return (chunk for chunk in chunks if chunk)


def _gunzip(chunks, source):
    inflater = zlib.decompressobj(_GZIP_WINDOW)
    try:
        for chunk in chunks:
            while chunk:
                yield inflater.decompress(chunk)
                # Concatenated gzip members are one stream, as gzip reads them.
                chunk = inflater.unused_data
                if inflater.eof and chunk:
                    inflater = zlib.decompressobj(_GZIP_WINDOW)
    except zlib.error as error:
        raise ValueError(f"{source}: damaged gzip data ({error})") from None
    if not inflater.eof:
        raise ValueError(f"{source}: damaged gzip data (it ends before its last member)")


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
    except Exception as error:  # the readers fail in many ways on malformed files
        detail = _one_line(error) or type(error).__name__
        raise ValueError(f"{path}: cannot read it as {_TITLE[fmt]}: {detail}") from None
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
    raise ValueError(f"no reading gives the {count} sequences of {length} columns that its "
                     f"first line announces{detail}")


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
