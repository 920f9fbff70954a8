# SPDX-License-Identifier: MIT
"""Newick reading and the unrooted Robinson-Foulds distance.

The reader takes what the peers write: quoted labels ('it''s'), bracketed
comments, branch lengths, support values or names on inner nodes, white space
and line breaks anywhere between tokens, and trees of any depth (no
recursion). Labels are kept as written: unquoted underscores are not turned
into blanks, so names compare exactly as the tools wrote them.
"""

from __future__ import annotations

from dataclasses import dataclass, field

_STRUCTURE = set("(),:;[")
_BLANK = set(" \t\r\n")


@dataclass
class Node:
    name: str | None = None
    length: float | None = None
    children: list["Node"] = field(default_factory=list)


class NewickError(ValueError):
    pass


def _tokens(text: str):
    """Yields (kind, value): kind is one of "(),:;" or "label"."""
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c in _BLANK:
            i += 1
        elif c == "[":
            close = text.find("]", i)
            if close < 0:
                raise NewickError("unterminated comment")
            i = close + 1
        elif c in "(),:;":
            yield c, c
            i += 1
        elif c == "'":
            parts = []
            i += 1
            while True:
                close = text.find("'", i)
                if close < 0:
                    raise NewickError("unterminated quoted label")
                parts.append(text[i:close])
                if close + 1 < n and text[close + 1] == "'":
                    parts.append("'")
                    i = close + 2
                else:
                    i = close + 1
                    break
            yield "label", "".join(parts)
        else:
            start = i
            while i < n and text[i] not in _STRUCTURE and text[i] not in _BLANK and text[i] != "'":
                i += 1
            yield "label", text[start:i]


def parse_newick(text: str) -> Node:
    """The tree of the first Newick statement in `text`."""
    root = Node()
    stack = [root]  # the open nodes; the last one receives labels and lengths
    current = root
    expect_length = False
    for kind, value in _tokens(text):
        if expect_length:
            if kind != "label":
                raise NewickError(f"branch length expected, found {value!r}")
            try:
                current.length = float(value)
            except ValueError as e:
                raise NewickError(f"bad branch length {value!r}") from e
            expect_length = False
        elif kind == "(":
            child = Node()
            current.children.append(child)
            stack.append(child)
            current = child
        elif kind == ",":
            if len(stack) < 2:
                raise NewickError("',' outside parentheses")
            stack.pop()
            child = Node()
            stack[-1].children.append(child)
            stack.append(child)
            current = child
        elif kind == ")":
            if len(stack) < 2:
                raise NewickError("unbalanced ')'")
            stack.pop()
            current = stack[-1]
        elif kind == ":":
            expect_length = True
        elif kind == "label":
            current.name = (current.name or "") + value
        elif kind == ";":
            break
    else:
        raise NewickError("missing ';'")
    if len(stack) != 1:
        raise NewickError("unbalanced '('")
    return root


def leaf_names(root: Node) -> list[str]:
    names, stack = [], [root]
    while stack:
        node = stack.pop()
        if node.children:
            stack.extend(reversed(node.children))
        else:
            names.append(node.name or "")
    return names


def splits(root: Node, index: dict[str, int]) -> set[int]:
    """The non-trivial bipartitions of the unrooted tree, each as the bit set
    of the side that does not hold leaf 0."""
    n = len(index)
    full = (1 << n) - 1
    masks: dict[int, int] = {}
    result: set[int] = set()
    stack = [(root, False)]
    while stack:
        node, done = stack.pop()
        if not node.children:
            if node.name not in index:
                raise ValueError(f"leaf {node.name!r} is not in the other tree")
            masks[id(node)] = 1 << index[node.name]
            continue
        if not done:
            stack.append((node, True))
            stack.extend((child, False) for child in node.children)
            continue
        mask = 0
        for child in node.children:
            mask |= masks.pop(id(child))
        masks[id(node)] = mask
        if node is not root:
            side = full ^ mask if mask & 1 else mask
            if 1 < side.bit_count() < n - 1:
                result.add(side)
    return result


def robinson_foulds(a: Node | str, b: Node | str) -> tuple[int, int]:
    """(RF distance, largest possible value) of two trees on the same leaves,
    both read as unrooted. The largest value is the number of non-trivial
    splits of the two trees together, 2(n - 3) for two binary trees."""
    ta = parse_newick(a) if isinstance(a, str) else a
    tb = parse_newick(b) if isinstance(b, str) else b
    names_a, names_b = leaf_names(ta), leaf_names(tb)
    if len(set(names_a)) != len(names_a) or len(set(names_b)) != len(names_b):
        raise ValueError("a leaf name occurs twice")
    if set(names_a) != set(names_b):
        raise ValueError("the trees have different leaves")
    index = {name: k for k, name in enumerate(sorted(names_a))}
    sa, sb = splits(ta, index), splits(tb, index)
    return len(sa ^ sb), len(sa) + len(sb)
