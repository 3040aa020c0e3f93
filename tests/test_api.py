"""The Python API: Grammar, Score and induce, compared with the engine's own answers."""

from __future__ import annotations

import importlib.util
import pickle
import re
import warnings
from pathlib import Path

import pytest

import grammar_engine
from grammar_engine import Grammar, GrammarEngineWarning, InputError, Nonterminal, induce
from grammar_engine.corpus import default_corpus
from grammar_engine.induction import split_lines

_engine = pytest.importorskip("_engine")

ANBN = "S -> 'a' S 'b' | 'a' 'b'\n"


# Grammars ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "text",
    [
        ANBN,
        "%start B\n#%terminals 'z'\nA -> 'a' |\nB -> A A '' \"'\"\n",  # start, unused and odd terminals
        "S -> 'S' S | S 'S' | 'S'\n",  # a name both terminal and nonterminal
        "E -> E '+' T | T\nT -> '1' | _AUX1\n_AUX1 -> '2'\n",
    ],
)
def test_text_round_trip(text):
    grammar = Grammar.from_string(text)
    again = Grammar.from_string(str(grammar))
    assert again == grammar
    assert str(again) == str(grammar)
    assert hash(again) == hash(grammar)
    grammar.parse("")  # fills the grammar's cache, which pickling leaves out
    assert pickle.loads(pickle.dumps(grammar)) == grammar


def test_the_notation_keeps_a_name_and_a_terminal_apart():
    grammar = Grammar.from_string("S -> 'S' S | 'S'")
    assert grammar.productions == (("S", ("S", "S")), ("S", ("S",)))
    assert [grammar.is_terminal(0, 0), grammar.is_terminal(0, 1)] == [True, False]
    assert grammar.parse("SSS").bracketed() == "(S S (S S (S S)))"
    # The same productions built from data: a bare name needs the marker.
    built = Grammar([("S", ["S", Nonterminal("S")]), ("S", ["S"])], ["S"])
    assert built == grammar


def test_constructor_checks_and_defaults():
    grammar = Grammar([("A", ("a", "B")), ("B", ["b"])], {"a", "b"})
    assert (grammar.start, grammar.terminals, grammar.nonterminals) == ("A", {"a", "b"}, ("A", "B"))
    assert grammar.productions[1] == ("B", ("b",))
    with pytest.raises(TypeError):
        Grammar([("S", "ab")], {"a", "b"})  # one str is no sequence of symbols
    with pytest.raises(TypeError):
        Grammar([("S", ["a"])], "a")
    with pytest.raises(TypeError):
        Grammar([("S", ["a", 1])], {"a"})
    with pytest.raises(ValueError):
        Grammar([], {"a"})
    with pytest.raises(InputError, match="start symbol T"):
        Grammar.from_string(ANBN, start="T")


def test_from_file_and_errors_name_the_line(tmp_path):
    path = tmp_path / "g.cfg"
    path.write_text(ANBN, encoding="utf-8")
    assert Grammar.from_file(path) == Grammar.from_string(ANBN)
    path.write_text("S -> 'a'\nS 'b'\n", encoding="utf-8")
    with pytest.raises(InputError) as caught:
        Grammar.from_file(str(path))
    assert caught.value.line == 2


def test_from_nltk_matches_the_notation():
    nltk = pytest.importorskip("nltk")
    text = "S -> NP VP | \nNP -> 'the' N | N\nN -> 'dog'\nVP -> 'runs'\n"
    assert Grammar.from_nltk(nltk.CFG.fromstring(text)) == Grammar.from_string(text)


def test_parse_normalises_unit_and_empty_productions():
    grammar = Grammar.from_string(
        "E -> E '+' T | T\nT -> T '*' F | F\nF -> '(' E ')' | '1' | '2'\n"
    )
    tree = grammar.parse("1+2")
    assert tree.bracketed() == "(E (E (T (F 1))) + (T (F 2)))"
    assert "".join(tree.leaves()) == "1+2"
    assert grammar.parse("1+") is None
    optional = Grammar.from_string("S -> 'a' S | ")
    assert optional.parse("") is not None and optional.parse("aa") is not None
    assert Grammar.from_string(ANBN).parse("") is None


def test_a_string_too_large_to_parse_says_so(monkeypatch):
    # The engine refuses a chart it cannot hold with a bare MemoryError; the API says
    # what was too large. (Stored rows grow with what is derivable, so no string of
    # a size a test can afford is refused by the engine itself any more.)
    import _engine

    def refuse(*args):
        raise MemoryError()

    grammar = Grammar.from_string("S -> 'a' S | 'a'")
    monkeypatch.setattr(_engine, "parse_cnf", refuse)
    with pytest.raises(MemoryError, match="400,000 characters is too large to parse"):
        grammar.parse("a" * 400_000)


def test_cnf_and_the_names_back():
    grammar = Grammar.from_string("S -> 'S' S | 'S'\n")
    rules = grammar.cnf()
    names, terminals = grammar.cnf_names(), grammar.cnf_terminals()
    assert terminals == {"S"}
    (inner,) = names  # the engine's name for the nonterminal S
    assert names == {inner: "S"} and inner not in terminals
    assert (inner, (rules[0][0], inner), 0) in rules
    assert Grammar.from_string(ANBN).cnf() == [
        (lhs, tuple(rhs), tag)
        for lhs, rhs, tag in _engine.to_cnf_tagged([("S", ["a", "S", "b"]), ("S", ["a", "b"])], {"a", "b"})
    ]


# Scores -----------------------------------------------------------------------


def _quiet_score(grammar, corpus, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", GrammarEngineWarning)
        return grammar.score(corpus, **options)


def test_score_fields_agree_with_the_engine(tmp_path):
    grammar = Grammar.from_string(ANBN)
    lines = ["ab", "aabb", "ba"]
    expected = _engine.grammar_bpc([("S", ["a", "S", "b"]), ("S", ["a", "b"])], lines, {"a", "b"}, "S")
    score = grammar.score(lines)
    assert score.metrics() == expected
    assert isinstance(score.parse_failures, int) and isinstance(score.total_decisions, int)
    assert (score.lines, score.lines_parsed, score.bytes) == (3, 2, 8)
    assert score.coverage == pytest.approx(2 / 3)
    assert score.warnings == ()
    # Other sources of the same lines: a generator, a path, an open file; blank lines skipped.
    path = tmp_path / "c.txt"
    path.write_text("ab\n\naabb\r\nba\n", encoding="utf-8")
    assert grammar.score(line for line in lines) == score
    assert grammar.score(path) == score
    with open(path, encoding="utf-8", newline="") as stream:
        assert grammar.score(stream) == score


def test_score_refuses_what_is_no_corpus():
    grammar = Grammar.from_string(ANBN)
    with pytest.raises(InputError, match="empty corpus"):
        grammar.score(["", "\n"])
    with pytest.raises(TypeError):
        grammar.score([b"ab"])
    with pytest.raises(TypeError):
        grammar.score(b"ab")
    with pytest.raises(InputError, match="lone surrogate") as caught:
        grammar.score(["ab", "", "a\udc80b"])
    assert caught.value.line == 3
    # Items keeping their line breaks are the same lines.
    assert grammar.score(["ab\n", "aabb\r\n", "ba"]) == grammar.score(["ab", "aabb", "ba"])


def test_score_as_written_or_normalised():
    grammar = Grammar.from_string("S -> A 'b' | A\nA -> 'a'\n")  # S -> A never applies as written
    with pytest.warns(GrammarEngineWarning, match=r"can never apply.*S -> A \(unit production\).*normalize=True"):
        written = grammar.score(["ab", "a"])
    assert (written.lines_parsed, written.normalized) == (1, False)
    with pytest.warns(GrammarEngineWarning, match="normalised equivalent"):
        normalised = grammar.score(["ab", "a"], normalize=True)
    assert (normalised.lines_parsed, normalised.normalized) == (2, True)
    # Without any problem, reading as written is the engine's plain score.
    plain = Grammar.from_string(ANBN)
    assert _quiet_score(plain, ["ab", "ba"]).metrics() == _engine.grammar_bpc(
        [("S", ["a", "S", "b"]), ("S", ["a", "b"])], ["ab", "ba"], {"a", "b"}, "S"
    )


@pytest.mark.parametrize(
    "text, corpus, fragment",
    [
        (ANBN, ["ba", "bb"], "none of the 2 corpus lines parses"),
        ("S -> S S | S 'a'\n", ["aa"], "derives no string at all"),
        ("S -> S 'S'\n", ["SS"], "no derivation from S ends in text"),  # the user's name, not the engine's
        # Unit productions apply only once normalised: the grammar itself does derive strings.
        ("S -> A\nA -> 'a' 'b'\n", ["ab"], "normalised equivalent does derive strings"),
        (ANBN, ["abc", "ab"], r"misses 1 character of the corpus \('c'\): 1 byte in 1 line"),
        ("S -> 'a' B | 'a'\n", ["a"], "nonterminal B is used but never defined"),
        ("S -> 'a' | 'b' | 'a'\n", ["a"], r"S -> 'a' is listed 2 times"),
    ],
)
def test_score_warnings(text, corpus, fragment):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        score = Grammar.from_string(text).score(corpus)
    messages = [str(w.message) for w in caught if issubclass(w.category, GrammarEngineWarning)]
    assert messages == list(score.warnings)
    assert any(re.search(fragment, message) for message in messages)


# Induction --------------------------------------------------------------------


def test_induce_on_the_default_corpus():
    result = induce(default_corpus())
    assert (result.strategy, result.train_lines, result.test_lines) == ("wrap", 206, 68)
    assert result.test_lines_parsed == 68 and result.coverage == 1.0
    assert str(result.grammar) == (
        "S -> '(' S ')'\nS -> '(' ')'\nS -> '[' S ']'\nS -> '[' ']'\nS -> S S\n"
    )
    train, test = split_lines(default_corpus(), 0.25)
    assert result.bpc == _engine.induce_full(train, test, result.alphabet)["bpc"]
    assert result.warnings == ()


@pytest.mark.parametrize(
    "count, share, held",
    [(2, 0.25, [1]), (3, 0.25, [2]), (8, 0.25, [3, 7]), (6, 0.5, [1, 3, 5]), (10, 0.1, [9])],
)
def test_held_out_lines(count, share, held):
    lines = [f"line {n}" for n in range(count)]
    train, test = split_lines(lines, share)
    assert test == [lines[n] for n in held]
    assert train == [line for n, line in enumerate(lines) if n not in held]


def test_induce_input_checks():
    with pytest.raises(InputError, match="too few"):
        induce(["ab"])
    with pytest.raises(ValueError):
        induce(["ab", "ab"], test_share=1.0)
    with pytest.raises(ValueError):
        induce(["ab", "ab"], method="magic")


def test_induce_warnings():
    with pytest.warns(GrammarEngineWarning) as caught:
        result = induce(["ab", "aabb", "ab"], ["abc"], alphabet="ab")
    messages = [str(warning.message) for warning in caught]
    assert messages == list(result.warnings)
    assert any("only 1 test line" in m for m in messages)
    assert any("misses 1 character of the test lines ('c')" in m for m in messages)
    assert any("none of the 1 test lines parses" in m for m in messages)


NESTED = [("S" * n + "b" * n) for n in range(1, 9)] + ["SbSb", "SSbbSb", "SbSSbb"]


def test_induction_keeps_the_character_S_apart_from_the_nonterminal():
    corpus = NESTED * 4
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", GrammarEngineWarning)
        result = induce(corpus)
        swapped = induce([line.replace("S", "x") for line in corpus])
    train, test = split_lines(corpus, 0.25)
    assert result.bpc == swapped.bpc
    assert (result.test_lines_parsed, result.test_lines) == (len(test), len(test))
    grammar = result.grammar
    assert "S -> 'S' S 'b'" in str(grammar).splitlines()
    # The grammar as the user sees it scores exactly as the engine's run did,
    # also after a round trip through its text.
    assert _quiet_score(grammar, test).bpc_with_lib == result.bpc
    assert _quiet_score(Grammar.from_string(str(grammar)), test).bpc_with_lib == result.bpc
    assert all(grammar.parse(line) is not None for line in test)


@pytest.mark.skipif(
    importlib.util.find_spec("grammar_engine.deep_induction") is not None,
    reason="the deep method is installed",
)
def test_deep_method_missing_is_a_clear_error():
    with pytest.raises(NotImplementedError, match="deep induction method is not available"):
        induce(["ab", "aabb", "ab"], method="deep")


@pytest.mark.skipif(
    importlib.util.find_spec("grammar_engine.deep_induction") is None,
    reason="the deep method is not part of this installation",
)
def test_deep_method_reports_in_the_users_names():
    corpus = NESTED * 4
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", GrammarEngineWarning)
        result = induce(corpus, method="deep")
    train, test = split_lines(corpus, 0.25)
    assert result.method == "deep" and result.grammar is not None
    assert _quiet_score(result.grammar, test).bpc_with_lib == result.bpc


def test_package_surface():
    assert grammar_engine.__version__.count(".") == 2
    assert {"Grammar", "Tree", "Score", "Induction", "induce"} <= set(grammar_engine.__all__)
    assert (Path(grammar_engine.__file__).parent / "py.typed").exists()
    cost = Grammar.from_string(ANBN).parse_cost(1000)
    assert cost.problem() is None and cost.note() is None and cost.fits


def test_parse_costs_grow_with_length_and_ambiguity():
    anbn, dense = Grammar.from_string(ANBN), Grammar.from_string(ANBN + "S -> S S\n")
    costs = [anbn.parse_cost(n) for n in (10, 1_000, 100_000, 10**7)]
    for shorter, longer in zip(costs, costs[1:]):
        assert 0 < shorter.table_bytes < longer.table_bytes <= longer.chart_bytes
        assert shorter.chart_bytes < longer.chart_bytes and shorter.seconds < longer.seconds
    assert dense.parse_cost(100_000).seconds > anbn.parse_cost(100_000).seconds
    # At 100,000 characters the worst case takes hours but fits: noted, not refused.
    # At ten million it is beyond memory and months: refused, though the tables fit.
    assert costs[2].problem() is None and costs[2].note() is not None
    assert costs[-1].fits and costs[-1].hopeless and "days" in costs[-1].problem()
    # The tables alone (some bytes per character) pass memory only at billions.
    assert not anbn.parse_cost(10**10).fits and "before any parsing" in anbn.parse_cost(10**10).problem()


@pytest.mark.skipif("LD_PRELOAD" in __import__("os").environ, reason="a preloaded runtime distorts peak memory")
def test_a_low_ambiguity_parse_stays_far_below_its_worst_case():
    # Measured in a child, whose peak memory is the parse's own.
    child = """
import resource
import _engine
from grammar_engine import _partial
rules = _engine.to_cnf_tagged(
    [("V", ["[", "E", "]"]), ("V", ["[", "]"]), ("V", ["n"]), ("E", ["[", "E", "]"]),
     ("E", ["[", "]"]), ("E", ["n"]), ("E", ["V", ",", "E"])],
    {"[", "]", ",", "n"},
)
text = "[" + ",".join(["[n,[n,n],[]]"] * 2000) + "]"
_engine.parse_cnf("[n]", rules, "V")
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
assert _engine.parse_cnf(text, rules, "V") is not None
grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
print(grown, *_partial.estimate_parse(rules, "V", len(text)))
"""
    import subprocess
    import sys

    run = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, check=True)
    grown, table, rows, _ = map(float, run.stdout.split())
    assert grown < (table + rows) / 10
