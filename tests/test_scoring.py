"""Description-length scoring of a grammar on a corpus."""

import math

import pytest
from hypothesis import given, strategies as st

import _engine
import reference_model as model

ANBN = [("S", ["a", "S", "b"]), ("S", ["a", "b"])]


def test_worked_example():
    result = _engine.grammar_bpc(ANBN, ["ab", "aabb", "ba"], {"a", "b"}, "S")
    assert result == {
        "bpc_with_lib": 2.3444,
        "l_library": 14.0,
        "l_data": 4.75,
        "parse_failures": 1.0,
        "total_decisions": 3.0,
    }
    assert list(result) == ["bpc_with_lib", "l_library", "l_data", "parse_failures", "total_decisions"]
    assert all(type(v) is float for v in result.values())


@pytest.mark.parametrize(
    "corpus, failures",
    [([], 0.0), ([""], 1.0), (["", "", ""], 3.0)],
)
def test_corpus_without_text_scores_infinity(corpus, failures):
    result = _engine.grammar_bpc(ANBN, corpus, {"a", "b"}, "S")
    assert result == {"bpc_with_lib": math.inf, "parse_failures": failures}


def test_empty_string_among_others_only_adds_a_failure():
    base = _engine.grammar_bpc(ANBN, ["ab", "aabb", "ba"], {"a", "b"}, "S")
    more = _engine.grammar_bpc(ANBN, ["ab", "", "aabb", "ba"], {"a", "b"}, "S")
    assert more == {**base, "parse_failures": base["parse_failures"] + 1}


@pytest.mark.parametrize(
    "terminals, expected_bpc",
    [(set(), 1.0), ({"x"}, 1.0), ({"x", "y"}, 1.0), ({"w", "x", "y", "z"}, 2.0)],
)
def test_no_productions_spells_every_byte(terminals, expected_bpc):
    result = _engine.grammar_bpc([], ["abc", "d"], terminals, "S")
    assert result["bpc_with_lib"] == expected_bpc
    assert result["l_library"] == 0.0
    assert result["parse_failures"] == 2.0
    assert result["total_decisions"] == 0.0


def test_lengths_are_utf8_bytes():
    # "é" is two bytes: a failed parse costs two spelled bytes.
    result = _engine.grammar_bpc([], ["é"], {"a", "b", "c", "d"}, "S")
    assert result["l_data"] == 4.0
    assert result["bpc_with_lib"] == 2.0


def test_single_production_decisions_carry_no_entropy():
    result = _engine.grammar_bpc([("S", ["a"])], ["a", "a", "a"], {"a"}, "S")
    # One symbol at log2(max(1 + 1 + 1, 2)) bits plus 2.
    assert result["l_library"] == round(math.log2(3) + 2, 2)
    assert result["l_data"] == 0.0
    assert result["total_decisions"] == 3.0


def test_duplicate_production_costs_twice_but_only_first_collects():
    once = _engine.grammar_bpc(ANBN, ["ab"], {"a", "b"}, "S")
    twice = _engine.grammar_bpc(ANBN + [("S", ["a", "b"])], ["ab"], {"a", "b"}, "S")
    assert twice["l_library"] > once["l_library"]
    assert twice["total_decisions"] == once["total_decisions"] == 1.0
    assert twice["l_data"] == 0.0


def test_empty_right_hand_side_panics_before_parsing():
    with pytest.raises(BaseException) as caught:
        _engine.grammar_bpc([("S", ["a"]), ("S", [])], ["a"], {"a"}, "S")
    assert type(caught.value).__name__ == "PanicException"


def test_same_bits_every_call():
    corpus = ["aabb", "ab", "aaabbb", "abab", "b"] * 20
    first = _engine.grammar_bpc(ANBN + [("S", ["S", "S"])], corpus, {"a", "b"}, "S")
    for _ in range(3):
        assert _engine.grammar_bpc(ANBN + [("S", ["S", "S"])], corpus, {"a", "b"}, "S") == first


def test_repeated_lines_count_alike_in_any_order_across_blocks():
    # More lines than one block of distinct lines holds, in two orders that group
    # them differently: each occurrence counts once, whichever block it falls in.
    distinct = [f"{'a' * (k % 7 + 1)}{'b' * (k % 5 + 1)}" for k in range(35)] + ["ba", "abb" * 3]
    corpus = [distinct[(k * 7919) % len(distinct)] for k in range(140_000)]
    grammar = ANBN + [("S", ["S", "S"])]
    first = _engine.grammar_bpc(grammar, corpus, {"a", "b"}, "S")
    assert first == _engine.grammar_bpc(grammar, sorted(corpus), {"a", "b"}, "S")
    rules = _engine.to_cnf_tagged(grammar, {"a", "b"})
    fails = {line for line in distinct if model.parse_cnf(line, rules, "S") is None}
    assert fails and first["parse_failures"] == sum(line in fails for line in corpus)


CHARS = ["a", "b", "é", "𝄞", "\u0301"]
symbols = st.sampled_from(CHARS + ["S", "A", "ab", ""])


@given(
    productions=st.lists(
        st.tuples(st.sampled_from(["S", "A", "a"]), st.lists(symbols, min_size=1, max_size=4)),
        max_size=6,
    ),
    corpus=st.lists(st.lists(st.sampled_from(CHARS), max_size=7).map("".join), max_size=6),
    terminals=st.sets(st.sampled_from(CHARS + ["ab", "", "z"])),
    start=st.sampled_from(["S", "A"]),
)
def test_matches_model(productions, corpus, terminals, start):
    assert _engine.grammar_bpc(productions, corpus, terminals, start) == model.grammar_bpc(
        productions, corpus, terminals, start
    )
