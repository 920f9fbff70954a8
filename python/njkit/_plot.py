"""Pictures of trees: a rectangular phylogram with its support values, drawn
with matplotlib's object interface (no pyplot, so no global figure state and
no display is needed)."""

import math
import os

from . import _newick
from ._extras import require

PICTURE_FORMATS = ("svg", "png", "pdf")
_LINE_WIDTH = 0.8
_SUPPORT_COLOUR = "#a02c2c"
_MAX_PIXELS = 60_000  # below the raster backend's limit of 2**16 per side


def picture_format(path, format=None):
    """The picture format asked for, or told by the path's extension."""
    fmt = (format or os.path.splitext(os.fspath(path))[1].lstrip(".")).lower()
    if fmt not in PICTURE_FORMATS:
        raise ValueError(f"cannot draw {os.fspath(path)!r}: name an .svg, .png or .pdf file")
    return fmt


def _drawn_length(value):
    """Infinite, undefined and negative lengths are drawn as 0 (the Newick
    text keeps them): a branch drawn backwards runs through its own label."""
    return value if value is not None and math.isfinite(value) and value > 0 else 0.0


def layout(root):
    """Coordinates of every node: x its distance from the root, y its row
    (leaves 0, 1, ... from the top; an inner node midway between its first
    and last child). Returns (preorder nodes, x, y, parent), keyed by id."""
    x, parent, order = {id(root): 0.0}, {}, []
    stack = [root]
    while stack:
        node = stack.pop()
        order.append(node)
        for child in node.children:
            x[id(child)] = x[id(node)] + _drawn_length(child.length)
            parent[id(child)] = node
        stack.extend(reversed(node.children))
    y = {}
    for node in order:
        if not node.children:
            y[id(node)] = float(len(y))
    for node in reversed(order):
        if node.children:
            y[id(node)] = (y[id(node.children[0])] + y[id(node.children[-1])]) / 2
    return order, x, y, parent


def _segments(order, x, y, parent):
    lines = []
    for node in order:
        if id(node) in parent:
            lines.append(((x[id(parent[id(node)])], y[id(node)]), (x[id(node)], y[id(node)])))
        if node.children:
            top, bottom = y[id(node.children[0])], y[id(node.children[-1])]
            lines.append(((x[id(node)], top), (x[id(node)], bottom)))
    return lines


def _font_size(leaves):
    return 8.0 if leaves <= 150 else 6.5 if leaves <= 400 else 5.0


def _title(tree, leaves):
    parts = [f"{leaves} sequences"]
    if tree.model:
        parts.append(tree.model)
    if tree.bootstrap:
        unit = "in % of" if tree.percent else "counted in"
        parts.append(f"{tree.support} support {unit} {tree.bootstrap} bootstrap replicates "
                     f"(seed {tree.seed})")
    return ", ".join(parts)


def _axis_label(model, order):
    label = ("distance" if model is None else
             "differences per site" if model == "PDiff" else "substitutions per site")
    odd = sum(1 for node in order
              if node.length is not None and not (math.isfinite(node.length) and node.length >= 0))
    if odd:
        label += f" ({odd} negative, infinite or undefined branch lengths drawn as 0)"
    return label


def draw(tree, handle, fmt):
    """Draws `tree` (an njkit Tree) into the open binary file `handle`."""
    require("matplotlib", "plot", "drawing trees")
    from matplotlib import rc_context
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure

    root = _newick.parse(tree.newick)
    order, x, y, parent = layout(root)
    leaves = [node for node in order if not node.children]
    size = _font_size(len(leaves))
    row = size * 1.7 / 72  # inches per leaf
    height = len(leaves) * row + 1.0
    figure = Figure(figsize=(8.0, height))
    axes = figure.add_axes((0.02, 0.5 / height, 0.7, 1 - 0.9 / height))
    axes.add_collection(LineCollection(_segments(order, x, y, parent), colors="black",
                                       linewidths=_LINE_WIDTH, capstyle="projecting"))
    for node in leaves:
        axes.annotate(node.name or "", (x[id(node)], y[id(node)]), xytext=(3, 0),
                      textcoords="offset points", va="center", ha="left", fontsize=size)
    for node in order:
        if node.children and node.support is not None:
            axes.annotate(str(node.support), (x[id(node)], y[id(node)]), xytext=(-2, 1),
                          textcoords="offset points", va="bottom", ha="right",
                          fontsize=size * 0.8, color=_SUPPORT_COLOUR)
    xs = list(x.values())
    span = (max(xs) - min(xs)) or 1.0
    axes.set_xlim(min(xs) - 0.01 * span, max(xs) + 0.01 * span)
    axes.set_ylim(len(leaves) - 0.5, -0.5)
    axes.set_yticks([])
    for side in ("left", "right", "top"):
        axes.spines[side].set_visible(False)
    axes.set_xlabel(_axis_label(tree.model, order), fontsize=8)
    axes.tick_params(axis="x", labelsize=7)
    axes.set_title(_title(tree, len(leaves)), fontsize=9, loc="left")
    dpi = min(150.0, _MAX_PIXELS / height)
    # Text stays text in SVG, and no date or random id goes into the file, so
    # the same tree always gives the same bytes.
    style = {"svg.fonttype": "none", "svg.hashsalt": "njkit"}
    metadata = {"png": {"Software": None}, "svg": {"Date": None},
                "pdf": {"CreationDate": None}}[fmt]
    with rc_context(style):
        figure.savefig(handle, format=fmt, dpi=dpi, bbox_inches="tight", metadata=metadata)
