"""Large inputs: each call gives its result or MemoryError in bounded time, and the
interpreter and the module keep working afterwards. The sizes here are the
smallest at which each property shows; the full sizes (10^6-character strings,
10^5-string corpora, 10^5-deep derivations, 10^4-production grammars) behave the
same and are timed by hand, not here."""

import gc
import sys

import pytest

import _engine
import reference_model

SELF_PAIR = [("S", ["S", "S"]), ("S", ["a"])]
SELF_PAIR_RULES = _engine.to_cnf_tagged(SELF_PAIR, {"a"})
# Results taken before any oversized call; a failed call must leave them unchanged.
SMALL_TEXT = "a" * 64
SMALL_TAGS = _engine.parse_cnf(SMALL_TEXT, SELF_PAIR_RULES, "S")
SMALL_METRICS = _engine.grammar_bpc(SELF_PAIR, [SMALL_TEXT, "ab", "a"], {"a", "b"}, "S")
SMALL_INDUCED = _engine.induce_full(["aab", "abb", "ab"] * 3, ["ab", "aabb"], ["a", "b"])
# A chart for this many characters needs terabytes: no machine holds it.
TOO_LONG = 10**6
# On "aabbaabb...", S derives every span from the start of an "aabb" to the end of
# a later one: rows of millions of scattered bits, terabytes in all. (Rows in
# which every span that can end a parse is derivable, as with SELF_PAIR on
# "aaa...", are held without their words and fit.)
PAIRS = [("S", ["a", "S", "b"]), ("S", ["a", "b"]), ("S", ["S", "S"])]
PAIRS_RULES = _engine.to_cnf_tagged(PAIRS, {"a", "b"})


def unholdable():
    return "aabb" * TOO_LONG


def still_working():
    assert _engine.parse_cnf("aa", SELF_PAIR_RULES, "S") == [0, 1, 1]
    assert _engine.parse_cnf(SMALL_TEXT, SELF_PAIR_RULES, "S") == SMALL_TAGS
    assert _engine.grammar_bpc(SELF_PAIR, [SMALL_TEXT, "ab", "a"], {"a", "b"}, "S") == SMALL_METRICS
    assert _engine.induce_full(["aab", "abb", "ab"] * 3, ["ab", "aabb"], ["a", "b"]) == SMALL_INDUCED


@pytest.mark.parametrize(
    "name, make_args",
    [
        ("parse_cnf", lambda text: (text, PAIRS_RULES, "S")),
        ("grammar_bpc", lambda text: (PAIRS, ["ab", text, "abab"], {"a", "b"}, "S")),
        ("induce_full", lambda text: (["ab", "ab", "ab"], ["ab", text], ["a", "b"])),
    ],
)
def test_a_chart_that_cannot_fit_is_memory_error(name, make_args):
    args = make_args(unholdable())
    with pytest.raises(MemoryError):
        getattr(_engine, name)(*args)
    still_working()


@pytest.mark.parametrize(
    "name, make_args",
    [
        ("parse_cnf", lambda text: (text, PAIRS_RULES, "S")),
        ("grammar_bpc", lambda text: (PAIRS, ["ba", text], {"a", "b"}, "S")),
        ("induce_full", lambda text: (["ab", "ab", "ab"], ["ab", text], ["a", "b"])),
    ],
)
def test_memory_errors_release_what_they_held(name, make_args):
    text = unholdable()
    function = getattr(_engine, name)
    for _ in range(10):  # warm-up
        with pytest.raises(MemoryError):
            function(*make_args(text))
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(100):
        with pytest.raises(MemoryError):
            function(*make_args(text))
    gc.collect()
    assert sys.getallocatedblocks() - before < 50
    assert sys.getrefcount(text) == 2


def test_long_strings_that_need_no_chart_give_their_result():
    text = "a" * TOO_LONG
    # A character no rule derives, and a grammar that derives single characters only.
    assert _engine.parse_cnf(text + "b", SELF_PAIR_RULES, "S") is None
    assert _engine.parse_cnf(text, [("S", ["a"], 0)], "S") is None
    assert _engine.parse_cnf(text, [], "S") is None
    metrics = _engine.grammar_bpc([("S", ["b", "b"])], [text, "bb"], {"a", "b"}, "S")
    assert metrics["parse_failures"] == 1.0
    assert metrics["l_data"] == TOO_LONG * 1.0  # one bit per byte with two terminals
    still_working()


DEPTH = 2500


@pytest.mark.parametrize(
    "productions, expected",
    [
        # S -> S a | a: every binary node's left child is the next binary node.
        ([("S", ["S", "a"]), ("S", ["a"])], [0] * (DEPTH - 1) + [1] + [-1] * (DEPTH - 1)),
        # S -> a S | a: the same depth down the right.
        ([("S", ["a", "S"]), ("S", ["a"])], [0, -1] * (DEPTH - 1) + [1]),
        # S -> S a a | a: chains of two rules per level.
        ([("S", ["S", "a", "a"]), ("S", ["a"])], None),
    ],
)
def test_deep_derivations_do_not_exhaust_the_stack(productions, expected):
    rules = _engine.to_cnf_tagged(productions, {"a"})
    text = "a" * (DEPTH + 1 if expected is None else DEPTH)
    tags = _engine.parse_cnf(text, rules, "S")
    assert len(tags) == 2 * len(text) - 1
    if expected is not None:
        assert tags == expected
    else:
        assert tags.count(0) == DEPTH // 2 and tags.count(1) == 1
    metrics = _engine.grammar_bpc(productions, [text, text], {"a"}, "S")
    assert metrics["parse_failures"] == 0.0
    assert metrics["total_decisions"] == 2 * (tags.count(0) + tags.count(1))


def test_induction_over_one_long_string():
    # "chain" takes S -> a b S and S -> b a S; every parse of the long strings
    # is a right-branching tree hundreds of levels deep.
    text = "ab" * 600
    result = _engine.induce_full([text] * 3, [text], ["a", "b"])
    assert result["strategy"] in ("wrap", "chain")
    assert len(result["grammar"]) == len(result["productions"]) > 0
    rescored = _engine.grammar_bpc(result["productions"], [text], {"a", "b"}, "S")
    assert rescored["parse_failures"] == 0.0
    assert rescored["bpc_with_lib"] == result["bpc"]


def test_a_corpus_of_a_hundred_thousand_strings():
    productions = [("S", ["a", "S", "b"]), ("S", ["a", "b"])]
    base = ["ab", "aabb", "ba", "aaabbb", "", "é"]
    repeats = 100_000 // len(base)
    small = _engine.grammar_bpc(productions, base, {"a", "b"}, "S")
    large = _engine.grammar_bpc(productions, base * repeats, {"a", "b"}, "S")
    # Counts and data bits grow with the corpus, the grammar's own bits do not.
    assert large["parse_failures"] == small["parse_failures"] * repeats
    assert large["total_decisions"] == small["total_decisions"] * repeats
    assert large["l_library"] == small["l_library"]
    assert large["l_data"] == pytest.approx(small["l_data"] * repeats, abs=0.01 * repeats)
    assert large == _engine.grammar_bpc(productions, tuple(base * repeats), frozenset("ab"), "S")

    # Pair counts scale alike, so a corpus repeated many times induces what it
    # induces repeated three times (every count then passes the threshold of 3).
    train = ["ab", "aabb", "abab", "ba", "aab"]
    test = ["abab", "aabb"]
    assert _engine.induce_full(train * 20_000, test * 1000, ["a", "b"]) == _engine.induce_full(
        train * 3, test * 1000, ["a", "b"]
    )


def test_a_grammar_of_ten_thousand_productions():
    terminals = {f"t{i}" for i in range(50)} | {"x", "y"}
    productions = [(f"N{i}", [f"t{i % 50}", f"N{i + 1}", "x", "y"][: 1 + i % 4]) for i in range(10_000)]
    productions.append(("S", ["t1", "t2"]))
    rules = _engine.to_cnf_tagged(productions, terminals)
    assert rules == reference_model.to_cnf_tagged(productions, terminals)
    assert rules[-1] == ("S", ["_AUX1", "_AUX2"], 10_000)

    # Single characters and their pairs, as 10^4 one-symbol and binary productions.
    words = [chr(0x4E00 + i) for i in range(5_000)]
    grammar = [("S", [w]) for w in words] + [("S", ["S", w]) for w in words]
    rules = _engine.to_cnf_tagged(grammar, set(words))
    text = "".join(words[::997])
    assert _engine.parse_cnf(text, rules, "S") == reference_model.parse_cnf(text, rules, "S")
    corpus = [text, words[0] * 3, "x"]
    assert _engine.grammar_bpc(grammar, corpus, set(words), "S") == reference_model.grammar_bpc(
        grammar, corpus, set(words), "S"
    )
