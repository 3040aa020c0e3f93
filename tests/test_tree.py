"""Derivation trees: the text forms, structural equality and the NLTK round trip."""

from __future__ import annotations

import sys

import pytest

from grammar_engine.tree import NLTK_FROMSTRING_ARGS, Tree

AWKWARD = ["(", ")", " ", "", '"', "\\", "a b", "\n", "'", "é", "(x)"]


def sample():
    return Tree("S", ("a", Tree("S", ("a", "b")), "b"))


def awkward():
    # Leaves and labels that plain bracketing cannot hold, an empty node, and an empty leaf.
    nodes = tuple(Tree(f"N{index}", (leaf,)) for index, leaf in enumerate(AWKWARD))
    return Tree("S", nodes + (Tree("E", ()), Tree("a b", ("x",))))


def test_bracketed_form():
    assert sample().bracketed() == "(S a (S a b) b)"
    assert str(sample()) == "(S a (S a b) b)"
    assert Tree("E", ()).bracketed() == "(E)"
    text = awkward().bracketed()
    assert "\n" not in text
    assert '(N0 "(")' in text and '(N3 "")' in text and '("a b" x)' in text


def test_bracketed_round_trip_through_nltk():
    nltk = pytest.importorskip("nltk")
    assert nltk.Tree.fromstring(sample().bracketed()) == sample().to_nltk()
    for tree in (sample(), awkward()):
        assert nltk.Tree.fromstring(tree.bracketed(), **NLTK_FROMSTRING_ARGS) == tree.to_nltk()


def test_equality_hash_and_repr():
    tree = awkward()
    copy = eval(repr(tree), {"Tree": Tree})
    assert copy == tree and hash(copy) == hash(tree) and copy is not tree
    assert Tree("S", ("a",)) != Tree("S", (Tree("a", ()),))
    assert Tree("S", ("a",)) != Tree("S", ("a", "b"))
    assert Tree("S", ["a"]).children == ("a",)
    with pytest.raises(TypeError):
        Tree("S", (1,))
    with pytest.raises(AttributeError):
        tree.label = "T"


def test_deep_trees_need_no_recursion():
    depth = 20_000

    def chain():
        tree = Tree("S", ("x",))
        for _ in range(depth):
            tree = Tree("S", ("a", tree, "b"))
        return tree

    first, second = chain(), chain()
    assert first == second and hash(first) == hash(second)
    assert first.height() == depth + 1
    assert len(first.leaves()) == 2 * depth + 1
    assert len(first.bracketed()) == len("(S a ") * depth + len("(S x)") + len(" b)") * depth
    assert first.to_dot().count("->") == 3 * depth + 1
    assert len(first._repr_html_()) < 1000 * depth
    assert len(repr(first)) > 0
    nltk = pytest.importorskip("nltk")
    node, levels = first.to_nltk(), 0
    while len(node) == 3:  # NLTK's own walks recurse, so follow the middle child here
        node, levels = node[1], levels + 1
    assert levels == depth and node == nltk.Tree("S", ["x"])


def test_pretty_keeps_the_box_drawing():
    assert Tree("S", ("a", Tree("S", ("a", "b")), "b", Tree("E", ()), Tree("Q", ("'", "")))).pretty() == (
        "S\n"
        "├── 'a'\n"
        "├── S\n"
        "│   ├── 'a'\n"
        "│   └── 'b'\n"
        "├── 'b'\n"
        "├── E\n"
        "└── Q\n"
        "    ├── \"'\"\n"
        "    └── ''\n"
    )


def test_dot_and_html_escape_what_they_show():
    tree = Tree('<S "1">', ("&", '"', "\n"))
    dot = tree.to_dot()
    assert 'label="<S \\"1\\">"' in dot and "n0 -> n1;" in dot and "n0 -> n3;" in dot
    page = tree._repr_html_()
    assert "&lt;S &quot;1&quot;&gt;" in page and "&amp;" in page and "<S" not in page


def test_to_nltk_without_nltk_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "nltk", None)
    with pytest.raises(ImportError, match=r"grammar-engine\[nltk\]"):
        sample().to_nltk()
