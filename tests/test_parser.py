"""CYK parsing: the derivation chosen by rule order, and agreement with the model."""

import pytest
from hypothesis import given, strategies as st

import _engine
import reference_model as model

PAIRS = [
    ("P", ["a"], -1),
    ("Q", ["b"], -1),
    ("R", ["P", "S"], -1),
    ("S", ["R", "Q"], 0),
    ("S", ["P", "Q"], 1),
]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("ab", [1, -1, -1]),
        ("aabb", [0, -1, -1, 1, -1, -1, -1]),
        ("aaabbb", [0, -1, -1, 0, -1, -1, 1, -1, -1, -1, -1]),
        ("aab", None),
        ("ba", None),
        ("", None),
        ("c", None),
        ("abc", None),
    ],
)
def test_nested_pairs_derivation(text, expected):
    assert _engine.parse_cnf(text, PAIRS, "S") == expected


@pytest.mark.parametrize(
    "rules, text, start, expected",
    [
        # The first terminal rule for the start symbol gives the one tag.
        ([("S", ["a"], 4), ("S", ["a"], 5)], "a", "S", [4]),
        ([("T", ["a"], 4)], "a", "S", None),
        # A symbol of several characters never matches one position.
        ([("S", ["ab"], 0)], "ab", "S", None),
        ([("S", ["A", "B"], 0), ("A", ["a"], 1), ("B", ["b"], 2)], "ab", "S", [0, 1, 2]),
        # A one-symbol rule naming a nonterminal matches only its literal text.
        ([("A", ["B"], 0), ("B", ["b"], 1)], "b", "A", None),
        ([("A", ["B"], 0), ("B", ["b"], 1)], "B", "A", [0]),
        # Rules of zero or three symbols change nothing.
        ([("S", [], 0), ("S", ["a", "a", "a"], 1), ("S", ["a"], 2)], "a", "S", [2]),
        # Non-ASCII characters are one position each; a combining mark is its own.
        ([("S", ["é"], 0)], "é", "S", [0]),
        ([("S", ["𝄞"], 0)], "𝄞", "S", [0]),
        ([("S", ["e\u0301"], 0)], "e\u0301", "S", None),
        ([("S", ["E", "M"], 0), ("E", ["e"], 1), ("M", ["\u0301"], 2)], "e\u0301", "S", [0, 1, 2]),
        # Of two rules differing only in tag, the earlier one is reported.
        ([("S", ["A", "A"], 7), ("S", ["A", "A"], 8), ("A", ["a"], 1)], "aa", "S", [7, 1, 1]),
        # A rule whose second symbol is the empty string ends the walk at itself.
        ([("S", ["A", ""], 3), ("A", ["a"], 1), ("", ["b"], 2)], "ab", "S", [3]),
        # The empty string is an ordinary name elsewhere.
        ([("S", ["", "A"], 3), ("A", ["a"], 1), ("", ["b"], 2)], "ba", "S", [3, 2, 1]),
        # Generated-looking names are plain user symbols.
        ([("_AUX1", ["_AUX2", "_AUX2"], 0), ("_AUX2", ["x"], -1)], "xx", "_AUX1", [0, -1, -1]),
        ([], "a", "S", None),
    ],
)
def test_rule_semantics(rules, text, start, expected):
    assert _engine.parse_cnf(text, rules, start) == expected
    assert model.parse_cnf(text, rules, start) == expected


def test_smallest_split_wins():
    # S -> S S over "aaa" splits after the first character.
    rules = [("S", ["S", "S"], 0), ("S", ["a"], 1)]
    assert _engine.parse_cnf("aaa", rules, "S") == [0, 1, 0, 1, 1]


def test_deep_left_branching_derivation():
    # S -> S A | a, A -> a: the tree is as deep as the string is long.
    rules = [("S", ["S", "A"], 0), ("S", ["a"], 1), ("A", ["a"], 2)]
    n = 5000
    tags = _engine.parse_cnf("a" * n, rules, "S")
    assert tags == [0] * (n - 1) + [1] + [2] * (n - 1)


def test_long_balanced_string_has_full_derivation():
    productions = [("S", ["(", "S", ")"]), ("S", ["(", ")"]), ("S", ["S", "S"])]
    rules = _engine.to_cnf_tagged(productions, {"(", ")"})
    text = "(()())" * 150 + "(" * 50 + ")" * 50
    tags = _engine.parse_cnf(text, rules, "S")
    assert len(tags) == 2 * len(text) - 1
    assert _engine.parse_cnf(text + "(", rules, "S") is None


# Random grammars over a few awkward symbols: empty, multi-character, non-ASCII
# of every UTF-8 width, combining marks, names the conversion would generate.
CHARS = ["a", "b", "é", "€", "𝄞", "\u0301"]
NAMES = ["S", "A", "B", "", "_AUX1", "ab", "a"]
symbols = st.sampled_from(CHARS + NAMES)
rules_strategy = st.lists(
    st.tuples(
        st.sampled_from(NAMES),
        st.lists(symbols, min_size=0, max_size=3),
        st.integers(-2, 6),
    ),
    max_size=14,
)
texts = st.lists(st.sampled_from(CHARS + ["S", "A"]), max_size=9).map("".join)


@given(rules=rules_strategy, text=texts, start=st.sampled_from(NAMES))
def test_parse_matches_model(rules, text, start):
    assert _engine.parse_cnf(text, rules, start) == model.parse_cnf(text, rules, start)


productions_strategy = st.lists(
    st.tuples(st.sampled_from(["S", "A", "B"]), st.lists(symbols, min_size=1, max_size=4)),
    max_size=7,
)


@given(
    productions=productions_strategy,
    terminals=st.sets(st.sampled_from(CHARS + ["ab", ""])),
    text=texts,
)
def test_converted_grammar_parse_matches_model(productions, terminals, text):
    rules = _engine.to_cnf_tagged(productions, terminals)
    assert rules == model.to_cnf_tagged(productions, terminals)
    assert _engine.parse_cnf(text, rules, "S") == model.parse_cnf(text, rules, "S")


@given(
    rules=rules_strategy,
    other=rules_strategy,
    calls=st.lists(st.tuples(st.booleans(), texts), max_size=8),
    start=st.sampled_from(NAMES),
)
def test_calls_repeating_a_rule_list_match_the_model(rules, other, calls, start):
    # A rule list used again is prepared once; alternating lists, strings of every
    # length and the list changed in place between calls must not tell.
    for use_other, text in calls:
        chosen = other if use_other else rules
        assert _engine.parse_cnf(text, chosen, start) == model.parse_cnf(text, chosen, start)
    if rules:
        rules.insert(0, rules.pop())
        for _, text in calls:
            assert _engine.parse_cnf(text, rules, start) == model.parse_cnf(text, rules, start)


def test_a_rule_list_changed_in_place_is_read_again():
    rules = [("S", ["A", "B"], 0), ("S", ["A", "S"], 1), ("A", ["a"], 2), ("B", ["b"], 3), ("S", ["b"], 4)]
    assert _engine.parse_cnf("aab", rules, "S") == [1, 2, 0, 2, 3]
    rules[0] = ("S", ["A", "B"], 7)
    assert _engine.parse_cnf("aab", rules, "S") == [1, 2, 7, 2, 3]
    rules.append(("S", ["c"], 8))
    assert _engine.parse_cnf("aac", rules, "S") == [1, 2, 1, 2, 8]
    assert _engine.parse_cnf("aab", rules, "T") is None
    # A right-hand side changed inside its tuple, an int and a str subclass, a tag
    # past the C long and a lone surrogate where an equal list had plain text.
    rules[1][1][0] = "B"
    rules.append(("B", ["a"], 9))
    for text in ["aab", "bab", "ab", "aaab"]:
        assert _engine.parse_cnf(text, rules, "S") == model.parse_cnf(text, rules, "S")
    class Name(str):
        pass
    rules[2] = (Name("A"), ["a"], True)
    assert _engine.parse_cnf("aab", rules, "S") == model.parse_cnf("aab", rules, "S")
    with pytest.raises(OverflowError):
        _engine.parse_cnf("aab", rules[:2] + [("A", ["a"], 2**70)], "S")
    with pytest.raises(UnicodeEncodeError):
        _engine.parse_cnf("aab", rules[:2] + [("A", ["\udc80"], 2)], "S")
    assert _engine.parse_cnf("aab", rules, "S") == model.parse_cnf("aab", rules, "S")
