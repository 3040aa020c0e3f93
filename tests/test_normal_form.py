"""The engine form of grammars: names, productions the engine cannot read as
written, normalisation, and trees rebuilt from the engine's tags."""

from __future__ import annotations

import itertools

import _engine
import pytest

from grammar_engine import normal_form
from grammar_engine.normal_form import Nonterminal, engine_form
from grammar_engine.tree import Tree, TreeMismatch


def score(form, corpus):
    return _engine.grammar_bpc(form.engine_productions(), corpus, set(form.terminals), form.start)


def strings_over(alphabet, longest):
    for length in range(1, longest + 1):
        for letters in itertools.product(alphabet, repeat=length):
            yield "".join(letters)


# -- names -------------------------------------------------------------------


def test_a_name_both_nonterminal_and_terminal_parses_as_meant_and_scores_as_without_the_clash():
    # S -> 'S' S 'S' | 'x', with 'S' a terminal beside the nonterminal S, against
    # the same grammar with the terminal spelled 'Q'.
    clash = [("S", ("S", Nonterminal("S"), "S")), ("S", ("x",))]
    plain = [("S", ("Q", "S", "Q")), ("S", ("x",))]
    corpus = ["SxS", "SSxSS", "x", "SS", "xSx", "Sx"]
    swapped = [line.replace("S", "Q") for line in corpus]
    for normalize in (False, True):
        clash_form = engine_form(clash, {"S", "x"}, "S", normalize=normalize)
        plain_form = engine_form(plain, {"Q", "x"}, "S", normalize=normalize)
        assert clash_form.renamed == (("S", "S'"),)
        assert clash_form.parse("SSxSS") == Tree("S", ("S", Tree("S", ("S", Tree("S", ("x",)), "S")), "S"))
        assert clash_form.parse("SS") is None
        assert score(clash_form, corpus) == score(plain_form, swapped)


@pytest.mark.parametrize("name", ["_AUX1", "_AUX2", "", "a"])
def test_names_the_engine_would_misread_are_renamed(name):
    # The conversion's own auxiliaries, the empty name (which ends the engine's
    # walk early) and a name that is also a terminal.
    productions = [("S", ("a", Nonterminal(name), "b")), (name, ("a", "b")), (name, ("c",))]
    for normalize in (False, True):
        form = engine_form(productions, {"a", "b", "c"}, "S", normalize=normalize)
        assert name not in {lhs for lhs, _ in form.productions}
        assert form.parse("aabb") == Tree("S", ("a", Tree(name, ("a", "b")), "b"))
        assert form.parse("acb") == Tree("S", ("a", Tree(name, ("c",)), "b"))


def test_renaming_is_a_no_op_without_a_clash():
    productions = [("S", ("a", "S", "b")), ("S", ("a", "b")), ("T", ("S", "S"))]
    for normalize in (False, True):
        form = engine_form(productions, {"a", "b"}, "S", normalize=normalize)
        assert form.productions == tuple(productions)
        assert form.start == "S" and form.renamed == ()
        assert form.inapplicable == (2,)  # T cannot be reached from S


# -- read as written ---------------------------------------------------------


def test_as_written_lists_what_can_never_apply_and_never_faults():
    productions = [
        ("S", ("A", "B")),  # 0 fine
        ("S", ("C",)),  # 1 unit production over a nonterminal
        ("A", ("a",)),  # 2 fine
        ("B", ()),  # 3 empty
        ("B", ("b", "")),  # 4 holds the empty terminal
        ("B", ("b", "bb")),  # 5 holds a terminal of two characters
        ("B", ("b",)),  # 6 fine
        ("C", ("a", "U")),  # 7 U is never defined
        ("D", ("a", "b")),  # 8 D cannot be reached from S
        ("B", ("b", "A", "U")),  # 9 U again
    ]
    form = engine_form(productions, {"a", "b", "", "bb"}, "S", normalize=False)
    assert form.inapplicable == (1, 3, 4, 5, 7, 8, 9)
    assert len(form.productions) == len(productions)
    assert form.productions[3] == ("B", ("",))
    metrics = score(form, ["ab", "C", "abb"])
    assert metrics["parse_failures"] == 2.0
    assert form.parse("ab") == Tree("S", (Tree("A", ("a",)), Tree("B", ("b",))))


def test_as_written_a_unit_production_does_not_match_its_target_as_text():
    # Read literally, S -> A would match the text "A".
    form = engine_form([("S", ("A",)), ("A", ("a",))], {"a"}, "S", normalize=False)
    assert form.parse("A") is None and form.parse("a") is None
    assert form.inapplicable == (0, 1)
    assert engine_form([("S", ("A",)), ("A", ("a",))], {"a"}, "S", normalize=True).parse("a") is not None


# -- normalised --------------------------------------------------------------


def test_empty_string_and_empty_nodes():
    productions = [("S", ("A", "x", "B")), ("S", ("A", "B")), ("A", ()), ("A", ("a",)), ("B", ("",))]
    form = engine_form(productions, {"a", "x", ""}, "S", normalize=True)
    assert form.accepts_empty
    assert form.tree((), "") == Tree("S", (Tree("A", ()), Tree("B", ("",))))
    assert form.parse("") == form.tree((), "")
    assert form.parse("x") == Tree("S", (Tree("A", ()), "x", Tree("B", ("",))))
    assert form.parse("a") == Tree("S", (Tree("A", ("a",)), Tree("B", ("",))))
    strict = engine_form([("S", ("a",))], {"a"}, "S", normalize=True)
    assert not strict.accepts_empty and strict.parse("") is None
    with pytest.raises(TreeMismatch):
        strict.tree((), "")


def test_terminals_of_several_characters_are_spelled_and_stay_one_leaf():
    productions = [
        ("S", ("NP", " ", "V")),
        ("NP", ("the", " ", "N")),
        ("N", ("dog",)),
        ("V", ("runs",)),
        ("V", ("ran",)),
    ]
    terminals = {" ", "the", "dog", "runs", "ran"}
    form = engine_form(productions, terminals, "S", normalize=True)
    tree = form.parse("the dog ran")
    assert tree == Tree("S", (Tree("NP", ("the", " ", Tree("N", ("dog",)))), " ", Tree("V", ("ran",))))
    assert form.parse("the dog run") is None
    assert engine_form(productions, terminals, "S", normalize=False).parse("the dog ran") is None


def test_unit_cycles_end_and_keep_the_form_small(monkeypatch):
    # Every nonterminal reaches every other through unit productions.
    names = [f"N{index}" for index in range(30)]
    productions = [(name, (names[(index + 1) % 30],)) for index, name in enumerate(names)]
    productions += [(name, ("x", name)) for name in names] + [(names[7], ("y",))]
    form = engine_form(productions, {"x", "y"}, "N0", normalize=True)
    assert len(form.productions) <= 2 * 30 * 30
    tree = form.parse("xy")
    assert tree.label == "N0" and tree.leaves() == ["x", "y"]
    monkeypatch.setattr(normal_form, "_MAX_PRODUCTIONS", 500)
    with pytest.raises(ValueError, match="more than 500 productions"):
        engine_form(productions, {"x", "y"}, "N0", normalize=True)


def test_cutting_long_productions_keeps_the_language(monkeypatch):
    productions = [
        ("S", ("A", "B", "A", "c", "B", "A")),
        ("S", ("B", "S", "B")),
        ("A", ("a",)),
        ("A", ()),
        ("B", ("b",)),
        ("B", ("A",)),
    ]
    terminals = {"a", "b", "c"}
    direct = engine_form(productions, terminals, "S", normalize=True)
    monkeypatch.setattr(normal_form, "_MAX_OPTIONAL", 0)
    cut = engine_form(productions, terminals, "S", normalize=True)
    assert cut.productions != direct.productions
    for text in strings_over("abc", 6):
        expected = direct.parse(text)
        got = cut.parse(text)
        assert (expected is None) == (got is None), text
        if got is not None:
            assert "".join(got.leaves()) == text
            assert all(_is_production(node, productions, terminals) for node in _nodes(got))
    # Thirty optional symbols in one production: cut into parts, not 2**30 variants.
    wide = [("S", ("A",) * 30 + ("c",)), ("A", ("a",)), ("A", ())]
    monkeypatch.setattr(normal_form, "_MAX_OPTIONAL", 4)
    form = engine_form(wide, {"a", "c"}, "S", normalize=True)
    assert len(form.productions) < 31 * 31
    assert form.parse("a" * 30 + "c").leaves() == ["a"] * 30 + ["c"]
    assert form.parse("a" * 31 + "c") is None


def _nodes(tree):
    stack = [tree]
    while stack:
        node = stack.pop()
        yield node
        stack.extend(child for child in node.children if isinstance(child, Tree))


def _is_production(node, productions, terminals):
    rhs = tuple(child.label if isinstance(child, Tree) else child for child in node.children)
    return (node.label, rhs) in productions or (node.label, ()) in productions and rhs == ()


# -- trees from tags ---------------------------------------------------------


def test_trees_a_hundred_thousand_deep():
    # S -> A, A -> 'a' S | 'a': the tree alternates S and A down the string.
    form = engine_form([("S", ("A",)), ("A", ("a", "S")), ("A", ("a",))], {"a"}, "S", normalize=True)
    step = form.productions.index(("S", ("a", "S")))
    leaf = form.productions.index(("S", ("a",)))
    depth = 100_000
    tree = form.tree([step, -1] * (depth - 1) + [leaf], "a" * depth)
    assert tree.height() == 2 * depth
    assert tree.leaves() == ["a"] * depth
    assert len(tree.bracketed()) == len("(S (A a ") * depth - 1 + len("))") * depth


def test_tags_that_do_not_fit_are_refused():
    form = engine_form([("S", ("a", "S", "b")), ("S", ("a", "b"))], {"a", "b"}, "S", normalize=False)
    rules = form.cnf_rules
    tags = _engine.parse_cnf("aabb", rules, form.start)
    assert form.tree(tags, "aabb").leaves() == list("aabb")
    for bad_tags, text in [
        (tags[:-1], "aabb"),  # ends early
        (tags + [-1], "aabb"),  # left over
        (tags, "aab"),  # text too short
        (tags, "abab"),  # other text
        ([7] + tags[1:], "aabb"),  # no such production
        ([-1] + tags[1:], "aabb"),
        ((), "aabb"),
    ]:
        with pytest.raises(TreeMismatch):
            form.tree(bad_tags, text)


def test_bad_arguments_are_refused_with_type_errors():
    for productions, terminals, start in [
        ([("S", "ab")], {"a"}, "S"),
        ([("S",)], {"a"}, "S"),
        ([(1, ("a",))], {"a"}, "S"),
        ([("S", ("a", 2))], {"a"}, "S"),
        ([("S", ("a",))], "a", "S"),
        ([("S", ("a",))], {"a"}, None),
    ]:
        with pytest.raises(TypeError):
            engine_form(productions, terminals, start, normalize=True)
