"""Reads back the Newick text that the core writes, into plain nodes, for
pictures and for conversion to other libraries' trees.

The core writes every name either bare or in single quotes with each quote
doubled, lengths as decimals or inf, -inf and NaN, and supports as integer
labels of inner nodes. Trees can be as deep as they have leaves, so nothing
here recurses."""

import re

_TOKEN = re.compile(r"'(?:[^']|'')*'|[(),:;]|[^(),:;'\s]+|\s+")


class Node:
    __slots__ = ("name", "length", "support", "children")

    def __init__(self):
        self.name = None
        self.length = None
        self.support = None
        self.children = []


def parse(text):
    """The root Node of one Newick tree."""
    root = current = Node()
    parents = []
    after_colon = False
    for match in _TOKEN.finditer(text):
        token = match.group()
        if token == "(":
            parents.append(current)
            current = Node()
            parents[-1].children.append(current)
        elif token == ",":
            current = Node()
            parents[-1].children.append(current)
        elif token == ")":
            current = parents.pop()
        elif token == ":":
            after_colon = True
        elif token == ";":
            break
        elif not token.isspace():
            if after_colon:
                current.length = float(token)
                after_colon = False
            elif token.startswith("'"):
                current.name = token[1:-1].replace("''", "'")
            elif current.children:
                current.support = int(token)
            else:
                current.name = token
    return root


def postorder(root):
    """Every node, children before their parent."""
    order, stack = [], [root]
    while stack:
        node = stack.pop()
        order.append(node)
        stack.extend(node.children)
    order.reverse()
    return order


def convert(root, make_leaf, make_inner):
    """Builds another library's tree bottom-up: make_leaf(node) and
    make_inner(node, converted children) give the converted nodes."""
    converted = {}
    for node in postorder(root):
        if node.children:
            converted[id(node)] = make_inner(node, [converted.pop(id(c)) for c in node.children])
        else:
            converted[id(node)] = make_leaf(node)
    return converted[id(root)]
