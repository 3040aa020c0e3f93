"""Derivation trees over a grammar's own productions, and the ways to show them.

A `Tree` is a nonterminal label and its children from left to right: subtrees and
leaf strings. A leaf is the text a terminal matched: usually one character, the
whole text of a terminal of several characters, or '' for an empty terminal. A
node with no children stands for an empty production (NLTK's `A ->`).

Every walk here is iterative, so trees as deep as the longest parsed string (a
hundred thousand levels and more) never meet Python's recursion limit.

`bracketed()` writes the tree on one line, `(S a (S a b) b)`. A label or leaf that
is empty or holds white space, a bracket, a double quote or a backslash is written
as a JSON string (`(S "(" (S "" ) ")")`); everything else stands bare, so trees of
plain symbols read back with `nltk.Tree.fromstring(text)` as it is, and every tree
reads back with `nltk.Tree.fromstring(text, **NLTK_FROMSTRING_ARGS)`.
"""

from __future__ import annotations

import html
import json
import re
from dataclasses import dataclass
from typing import Any, Iterator, Union

__all__ = ["Tree", "TreeMismatch", "NLTK_FROMSTRING_ARGS", "quote_token", "unquote_token", "leaf_text"]

Child = Union["Tree", str]


class TreeMismatch(ValueError):
    """Parse tags that do not describe a derivation over the grammar they were given for."""


_BARE_RE = re.compile(r'[^\s()"\\]+')
_TOKEN_PATTERN = r'"(?:[^"\\]|\\.)*"|[^\s()"\\]+'


def quote_token(token: str) -> str:
    """A label or leaf as `bracketed()` writes it: bare when that reads back unchanged."""
    if _BARE_RE.fullmatch(token):
        return token
    return json.dumps(token, ensure_ascii=False)


def unquote_token(token: str) -> str:
    """The inverse of `quote_token`."""
    if token.startswith('"'):
        value = json.loads(token)
        if not isinstance(value, str):  # pragma: no cover - the pattern admits only strings
            raise ValueError(f"not a quoted token: {token}")
        return value
    return token


# Keyword arguments of `nltk.Tree.fromstring` that read any `bracketed()` text back.
NLTK_FROMSTRING_ARGS: dict[str, Any] = {
    "node_pattern": _TOKEN_PATTERN,
    "leaf_pattern": _TOKEN_PATTERN,
    "read_node": unquote_token,
    "read_leaf": unquote_token,
}


def leaf_text(leaf: str) -> str:
    """A leaf as the grammar notation quotes a terminal; escaped if not printable."""
    if not leaf.isprintable():
        return repr(leaf)
    return f'"{leaf}"' if "'" in leaf else f"'{leaf}'"


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class Tree:
    """One node of a derivation: a nonterminal `label` and its `children`, left to right.

    Children are `Tree`s and leaf strings. Trees are immutable and compare and hash
    by structure.
    """

    label: str
    children: tuple[Child, ...] = ()

    def __post_init__(self) -> None:
        if not isinstance(self.label, str):
            raise TypeError(f"a tree label must be a str, not {type(self.label).__name__}")
        children = tuple(self.children)
        for child in children:
            if not isinstance(child, (Tree, str)):
                raise TypeError(f"a tree child must be a Tree or a str, not {type(child).__name__}")
        object.__setattr__(self, "children", children)

    # -- structure -----------------------------------------------------------

    def _events(self) -> Iterator[tuple[int, str, int]]:
        """Pre-order events: (0, label, child count) opens a node, (1, leaf, 0) is a leaf."""
        stack: list[Child] = [self]
        while stack:
            item = stack.pop()
            if isinstance(item, Tree):
                yield (0, item.label, len(item.children))
                stack.extend(reversed(item.children))
            else:
                yield (1, item, 0)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Tree):
            return NotImplemented
        if self is other:
            return True
        pairs: list[tuple[Child, Child]] = [(self, other)]
        while pairs:
            a, b = pairs.pop()
            if a is b:
                continue
            if isinstance(a, Tree) and isinstance(b, Tree):
                if a.label != b.label or len(a.children) != len(b.children):
                    return False
                pairs.extend(zip(a.children, b.children))
            elif isinstance(a, Tree) or isinstance(b, Tree) or a != b:
                return False
        return True

    def __hash__(self) -> int:
        return hash(tuple(self._events()))

    def leaves(self) -> list[str]:
        """The leaf strings from left to right; joined they are the parsed text."""
        return [text for kind, text, _ in self._events() if kind == 1]

    def height(self) -> int:
        """The number of nodes on the longest path from this node down to a leaf or empty node."""
        best = 0
        stack: list[tuple[Tree, int]] = [(self, 1)]
        while stack:
            node, depth = stack.pop()
            best = max(best, depth)
            stack.extend((child, depth + 1) for child in node.children if isinstance(child, Tree))
        return best

    # -- text forms ----------------------------------------------------------

    def bracketed(self) -> str:
        """The tree on one line, `(S a (S a b) b)`; its length grows linearly with the tree."""
        parts: list[str] = []
        # None on the stack closes a node.
        stack: list[Child | None] = [self]
        while stack:
            item = stack.pop()
            if item is None:
                parts.append(")")
            elif isinstance(item, Tree):
                if parts:
                    parts.append(" ")
                parts.append("(")
                parts.append(quote_token(item.label))
                stack.append(None)
                stack.extend(reversed(item.children))
            else:
                parts.append(" ")
                parts.append(quote_token(item))
        return "".join(parts)

    def __str__(self) -> str:
        return self.bracketed()

    def __repr__(self) -> str:
        parts: list[str] = []
        stack: list[Child | _Text] = [self]
        while stack:
            item = stack.pop()
            if isinstance(item, _Text):
                parts.append(item.text)
            elif isinstance(item, Tree):
                parts.append(f"Tree({item.label!r}, (")
                # A one-element tuple needs its comma.
                stack.append(_Text(",))" if len(item.children) == 1 else "))"))
                for index in range(len(item.children) - 1, -1, -1):
                    stack.append(item.children[index])
                    if index:
                        stack.append(_Text(", "))
            else:
                parts.append(repr(item))
        return "".join(parts)

    def pretty(self) -> str:
        """The tree drawn with box-drawing characters, one node per line."""
        lines = [self.label]
        frames: list[tuple[Child, str, bool]] = [
            (child, "", last) for child, last in _children_last_first(self)
        ]
        while frames:
            item, prefix, last = frames.pop()
            label = item.label if isinstance(item, Tree) else leaf_text(item)
            lines.append(prefix + ("└── " if last else "├── ") + label)
            if isinstance(item, Tree):
                child_prefix = prefix + ("    " if last else "│   ")
                frames.extend(
                    (child, child_prefix, child_last) for child, child_last in _children_last_first(item)
                )
        return "\n".join(lines) + "\n"

    def to_dot(self) -> str:
        """The tree as a Graphviz digraph; children keep their left-to-right order."""
        lines = ["digraph derivation {", "  ordering=out;", "  node [shape=plaintext];"]
        counter = 0
        frames: list[tuple[Child, int | None]] = [(self, None)]
        while frames:
            item, parent = frames.pop()
            name = counter
            counter += 1
            if isinstance(item, Tree):
                lines.append(f'  n{name} [label="{_dot_escape(item.label)}"];')
                frames.extend((child, name) for child in reversed(item.children))
            else:
                lines.append(f'  n{name} [label="{_dot_escape(leaf_text(item))}", fontname="monospace"];')
            if parent is not None:
                lines.append(f"  n{parent} -> n{name};")
        lines.append("}")
        return "\n".join(lines) + "\n"

    def _repr_html_(self) -> str:
        """A compact nested view for notebooks: each node a box holding its children in a row."""
        parts = [
            '<div class="grammar-engine-tree" style="font-family:monospace;display:inline-block">'
        ]
        stack: list[Child | None] = [self]
        while stack:
            item = stack.pop()
            if item is None:
                parts.append("</span></span>")
            elif isinstance(item, Tree):
                parts.append(
                    '<span style="display:inline-flex;flex-direction:column;align-items:center;'
                    'border-left:1px solid #bbb;margin:1px 2px;padding:0 2px">'
                    f"<b>{html.escape(item.label)}</b>"
                    '<span style="display:inline-flex;align-items:flex-start">'
                )
                stack.append(None)
                stack.extend(reversed(item.children))
            else:
                parts.append(f'<code style="margin:0 2px">{html.escape(leaf_text(item))}</code>')
        parts.append("</div>")
        return "".join(parts)

    # -- NLTK ----------------------------------------------------------------

    def to_nltk(self) -> Any:
        """The same tree as an `nltk.Tree` (needs NLTK: `pip install grammar-engine[nltk]`)."""
        try:
            import nltk
        except ImportError as error:
            raise ImportError(
                "Tree.to_nltk needs NLTK; install it with `pip install grammar-engine[nltk]`"
            ) from error
        # Post-order: each node is built once all its children are.
        done: list[Any] = []
        stack: list[tuple[Tree, bool]] = [(self, False)]
        while stack:
            node, expanded = stack.pop()
            if expanded:
                count = sum(1 for child in node.children if isinstance(child, Tree))
                built = iter(done[len(done) - count:]) if count else iter(())
                children = [next(built) if isinstance(child, Tree) else child for child in node.children]
                del done[len(done) - count:]
                done.append(nltk.Tree(node.label, children))
            else:
                stack.append((node, True))
                stack.extend((child, False) for child in reversed(node.children) if isinstance(child, Tree))
        return done[0]


@dataclass(frozen=True, slots=True)
class _Text:
    """Literal text on a serialiser's stack, told apart from leaf strings."""

    text: str


def _children_last_first(node: Tree) -> list[tuple[Child, bool]]:
    """(child, is last child) pairs, last child first, ready to push on a stack."""
    count = len(node.children)
    return [(child, index == count - 1) for index, child in enumerate(node.children)][::-1]


def _dot_escape(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
