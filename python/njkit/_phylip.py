"""PHYLIP distance-matrix files: read (square or lower-triangular, strict or
relaxed names, rows that wrap onto further lines) and written (square, full
precision)."""

import re

import numpy as np

_STRICT_WIDTH = 10
_NUMBER = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|inf(?:inity)?|nan)", re.I)


class _Rows:
    """The matrix's lines after its count line, with their line numbers."""

    def __init__(self, lines, first_number):
        self.lines = [(k, line) for k, line in enumerate(lines, first_number) if line.strip()]
        self.at = 0

    def next_line(self, what):
        if self.at == len(self.lines):
            raise ValueError(f"the file ends before {what}")
        self.at += 1
        return self.lines[self.at - 1]


def _split_name(line, strict):
    if strict:
        return line[:_STRICT_WIDTH].strip(), line[_STRICT_WIDTH:].split()
    parts = line.split(None, 1)
    return parts[0], parts[1].split() if len(parts) > 1 else []


def _parse(lines, first_number, n, strict):
    """Names and the square matrix; raises ValueError naming the line at fault."""
    rows = _Rows(lines, first_number)
    names, matrix = [], np.zeros((n, n))
    lower = None
    for i in range(n):
        number, line = rows.next_line(f"row {i + 1} of {n}")
        name, values = _split_name(line, strict)
        if lower is None:
            # The first row of a lower triangle holds no value at all.
            lower = not values
        wanted = i if lower else n
        while len(values) < wanted:
            values += rows.next_line(f"the {wanted} values of row {i + 1} ({name!r})")[1].split()
        if len(values) != wanted or not name:
            raise ValueError(f"line {number}: expected a name and {wanted} distances")
        for j, text in enumerate(values):
            if not _NUMBER.fullmatch(text):
                raise ValueError(f"line {number}: {text!r} is not a number")
            matrix[i, j] = float(text)
        names.append(name)
    if rows.at != len(rows.lines):
        number, _ = rows.lines[rows.at]
        raise ValueError(f"line {number}: more rows than the {n} announced")
    if lower:
        matrix = matrix + matrix.T
    return names, matrix


def matrix_count(first_line):
    """The row count of a distance-matrix file's first line, or None when the
    line is not one number (a PHYLIP alignment's has two)."""
    fields = first_line.split()
    if len(fields) == 1 and fields[0].isdigit():
        return int(fields[0])
    return None


def read_matrix(text, source):
    """(names, square float64 matrix) from the text of a PHYLIP matrix file."""
    lines = text.splitlines()
    n = matrix_count(lines[0]) if lines else None
    if n is None:
        raise ValueError(f"{source}: the first line of a PHYLIP distance matrix is its row count")
    if n == 0:
        raise ValueError(f"{source}: the matrix has no rows")
    try:
        return _parse(lines[1:], 2, n, strict=False)
    except ValueError as relaxed_error:
        # Strict names fill ten columns and may hold spaces or touch the
        # first value; only when that reading fails too is the file wrong.
        try:
            return _parse(lines[1:], 2, n, strict=True)
        except ValueError:
            raise ValueError(f"{source}: {relaxed_error}") from None


def _name_field(names):
    """Formats names in PHYLIP's strict ten-column field when all fit it,
    else in relaxed form (the name, then one space)."""
    for name in names:
        if any(c in name for c in "\t\n\r\v\f"):
            raise ValueError(f"identifier {name!r} holds a control character; PHYLIP cannot store it")
    if all(len(name) <= _STRICT_WIDTH for name in names):
        return [f"{name:<{_STRICT_WIDTH}} " for name in names]
    for name in names:
        if " " in name:
            raise ValueError(
                f"identifier {name!r} is longer than 10 characters and holds a space; "
                "a PHYLIP matrix cannot store it"
            )
    return [f"{name} " for name in names]


def write_matrix(handle, names, matrix):
    """Writes a square PHYLIP matrix; values round-trip exactly."""
    fields = _name_field(names)
    handle.write(f"{len(names)}\n")
    for field, row in zip(fields, matrix.tolist()):
        handle.write(field + " ".join(map(repr, row)) + "\n")
