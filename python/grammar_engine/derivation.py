"""The derivation tree of a parse, rebuilt over the natural productions, and drawn.

A parse of the binarised grammar gives its rule tags in pre-order: a production's
own rule carries the production's index, and every rule the conversion added (a
pre-terminal, or a link of the chain that splits a long right-hand side) carries
-1. For a production of k >= 2 symbols that order is: its index, k - 2 chain
links (-1), then the subtrees of its k symbols from left to right, where a
terminal's subtree is its pre-terminal rule (-1). A production of one symbol is a
leaf rule: it matches one character equal to that symbol. Rebuilding walks the
tags in that order and checks each step against the productions and the text;
when they do not fit (a grammar that uses a name the conversion also makes, say)
it raises `TreeMismatch` and the caller shows the plain tag list instead.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Sequence

from .grammar_file import Production, format_production


@dataclass
class Node:
    """A nonterminal node (with the index of its production) or a leaf (index None)."""

    label: str
    production: int | None = None
    children: list[Node] = field(default_factory=list)


class TreeMismatch(Exception):
    """The tags do not describe a derivation over the natural productions."""


def rebuild_tree(
    tags: Sequence[int],
    productions: Sequence[Production],
    terminals: frozenset[str],
    text: str,
    start: str,
) -> Node:
    """The derivation tree that `tags` describes for `text`; `TreeMismatch` if none."""
    reader = _Reader(tags, text)
    # Each frame is a node whose right-hand symbols are still being filled in,
    # with the index of the next symbol; an explicit stack keeps deep trees safe.
    stack: list[tuple[Node, tuple[str, ...], int]] = []

    def open_node(expected_lhs: str) -> Node:
        tag = reader.tag()
        if not 0 <= tag < len(productions):
            raise TreeMismatch(f"expected a production for {expected_lhs}, found tag {tag}")
        lhs, rhs = productions[tag]
        if lhs != expected_lhs:
            raise TreeMismatch(f"tag {tag} names a production for {lhs}, not {expected_lhs}")
        node = Node(lhs, tag)
        if len(rhs) == 1:
            node.children.append(Node(reader.char(rhs[0])))
            return node
        for _ in range(len(rhs) - 2):
            reader.auxiliary()
        stack.append((node, rhs, 0))
        return node

    root = open_node(start)
    while stack:
        node, rhs, index = stack.pop()
        if index == len(rhs):
            continue
        stack.append((node, rhs, index + 1))
        symbol = rhs[index]
        if symbol in terminals:
            reader.auxiliary()
            node.children.append(Node(reader.char(symbol)))
        else:
            node.children.append(open_node(symbol))
    reader.finish()
    return root


class _Reader:
    def __init__(self, tags: Sequence[int], text: str):
        self.tags = tags
        self.text = text
        self.next_tag = 0
        self.next_char = 0

    def tag(self) -> int:
        if self.next_tag == len(self.tags):
            raise TreeMismatch("the tags end before the tree is complete")
        self.next_tag += 1
        return self.tags[self.next_tag - 1]

    def auxiliary(self) -> None:
        tag = self.tag()
        if tag != -1:
            raise TreeMismatch(f"expected a rule added by the conversion (-1), found tag {tag}")

    def char(self, symbol: str) -> str:
        if self.next_char == len(self.text) or self.text[self.next_char] != symbol:
            raise TreeMismatch(f"the symbol {symbol!r} does not match the text")
        self.next_char += 1
        return symbol

    def finish(self) -> None:
        if self.next_tag != len(self.tags):
            raise TreeMismatch("tags are left over after the tree is complete")
        if self.next_char != len(self.text):
            raise TreeMismatch("the tree does not cover the whole text")


def leaf_text(char: str) -> str:
    """A character as the grammar notation quotes it, escaped if not printable."""
    if not char.isprintable():
        return repr(char)
    return f'"{char}"' if "'" in char else f"'{char}'"


def render_text(root: Node) -> str:
    """The tree drawn with box-drawing characters, one node per line."""
    lines = [root.label]
    # (node, prefix of its line, whether it is its parent's last child)
    frames = [(child, "", last) for child, last in _children_reversed(root)]
    while frames:
        node, prefix, last = frames.pop()
        label = leaf_text(node.label) if node.production is None else node.label
        lines.append(prefix + ("└── " if last else "├── ") + label)
        child_prefix = prefix + ("    " if last else "│   ")
        frames.extend((child, child_prefix, child_last) for child, child_last in _children_reversed(node))
    return "\n".join(lines) + "\n"


def render_dot(root: Node) -> str:
    """The tree as a Graphviz digraph; children keep their left-to-right order."""
    lines = ["digraph derivation {", "  ordering=out;", "  node [shape=plaintext];"]
    counter = 0
    frames: list[tuple[Node, int | None]] = [(root, None)]
    while frames:
        node, parent = frames.pop()
        name = counter
        counter += 1
        if node.production is None:
            lines.append(f'  n{name} [label="{_dot_escape(leaf_text(node.label))}", fontname="monospace"];')
        else:
            lines.append(f'  n{name} [label="{_dot_escape(node.label)}"];')
        if parent is not None:
            lines.append(f"  n{parent} -> n{name};")
        frames.extend((child, name) for child in reversed(node.children))
    lines.append("}")
    return "\n".join(lines) + "\n"


def render_tag_list(
    tags: Sequence[int], productions: Sequence[Production], terminals: frozenset[str]
) -> str:
    """The tags one per line, each with the production it names."""
    width = max(len(str(tag)) for tag in tags) if tags else 1
    lines = []
    for tag in tags:
        if 0 <= tag < len(productions):
            lhs, rhs = productions[tag]
            meaning = _safe_production(lhs, rhs, terminals)
        elif tag == -1:
            meaning = "(rule added by the conversion)"
        else:
            meaning = "(no such production)"
        lines.append(f"{tag:>{width}}  {meaning}")
    return "\n".join(lines) + "\n"


def render_tag_list_dot(tags: Sequence[int]) -> str:
    label = "no tree: tags in pre-order\\l" + "".join(f"{tag}\\l" for tag in tags)
    return f'digraph derivation {{\n  n0 [shape=box, label="{label}"];\n}}\n'


def _safe_production(lhs: str, rhs: Sequence[str], terminals: frozenset[str]) -> str:
    try:
        return format_production(lhs, rhs, terminals)
    except ValueError:
        return f"{lhs} -> {' '.join(rhs)}"


def _children_reversed(node: Node):
    """(child, is last child) pairs, last child first, ready to push on a stack."""
    count = len(node.children)
    return [(child, index == count - 1) for index, child in enumerate(node.children)][::-1]


def _dot_escape(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
