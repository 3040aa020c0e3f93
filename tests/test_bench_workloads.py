"""The scaling benchmarks' inputs and measuring: generated texts and sampled strings
must be derivable (a benchmark of rejections would measure the wrong thing), and a
measurement must tell a finished call from a stopped or out-of-memory one."""

import json
import os
import random
import sys
import time
from pathlib import Path

import pytest

import _engine

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench" / "scale"))

import corpora  # noqa: E402
import texts  # noqa: E402
from child import measure_in_child  # noqa: E402
from random_grammars import RandomGrammar, Sampler, random_grammar  # noqa: E402


@pytest.mark.parametrize("grammar", texts.GRAMMARS, ids=lambda g: g.name)
def test_generated_texts_are_derived_by_their_grammar(grammar):
    rules = _engine.to_cnf_tagged(grammar.production_list(), grammar.terminals)
    assert all(len(rhs) != 1 or rhs[0] in grammar.terminals for _, rhs in grammar.productions)
    for length in (40, 150, 600):
        text = grammar.text(7, length)
        assert text == grammar.text(7, length)
        assert 0.8 * length <= len(text) <= 1.2 * length
        assert set(text) <= grammar.terminals
        assert _engine.parse_cnf(text, rules, grammar.start) is not None, text


def test_json_texts_are_json_with_escapes_and_every_value_kind():
    text = texts.JSON_GRAMMAR.text(3, 3000)
    assert json.loads(text)
    for piece in ('\\"', "\\n", "true", "false", "null", "e-", "-", "."):
        assert piece in text


def test_generated_texts_that_are_cut_short_are_rejected():
    for grammar in texts.GRAMMARS:
        rules = _engine.to_cnf_tagged(grammar.production_list(), grammar.terminals)
        text = grammar.text(5, 300)
        assert _engine.parse_cnf(text[:-1], rules, grammar.start) is None, grammar.name


def test_unit_productions_are_replaced_through_chains_and_cycles():
    productions = [("A", ("B",)), ("B", ("A",)), ("B", ("C",)), ("C", ("x", "y")), ("A", ("x",)),
                   ("C", ("x",)), ("D", ("C", "C"))]
    out = texts.without_units(productions, frozenset("xy"))
    assert out == [("A", ("x",)), ("A", ("x", "y")), ("B", ("x",)), ("B", ("x", "y")),
                   ("C", ("x", "y")), ("C", ("x",)), ("D", ("C", "C"))]
    assert texts.reachable(out, "C") == [("C", ("x", "y")), ("C", ("x",))]


def test_random_grammars_have_the_asked_size_and_their_strings_parse():
    grammar = random_grammar(30, 250, seed=1)
    assert grammar == random_grammar(30, 250, seed=1)
    assert len(grammar.productions) == len(set(grammar.productions)) == 250
    assert {lhs for lhs, _ in grammar.productions} == {"S", *(f"N{i}" for i in range(1, 30))}
    strings = Sampler(grammar, 40).strings(random.Random(2), 6, 20, 40)
    assert len(strings) == 6 and all(20 <= len(s) <= 40 for s in strings)
    rules = _engine.to_cnf_tagged(grammar.production_list(), grammar.terminals)
    for s in strings:
        assert _engine.parse_cnf(s, rules, "S") is not None, s


def test_sampler_lengths_match_what_the_grammar_derives():
    # S -> a S b | a b derives exactly the even lengths, and only a^k b^k.
    even = Sampler(RandomGrammar(1, 2, (("S", ("a", "S", "b")), ("S", ("a", "b"))), frozenset("ab")), 12)
    assert [n for n in range(13) if even.derivable("S", n)] == [2, 4, 6, 8, 10, 12]
    assert even.sample(random.Random(0), 8) == "aaaabbbb"


@pytest.mark.parametrize("grammar", texts.GRAMMARS, ids=lambda g: g.name)
def test_lark_reads_the_same_grammar_and_accepts_the_same_texts(grammar):
    lark = pytest.importorskip("lark")
    source, start = grammar.lark_grammar()
    parser = lark.Lark(source, start=start, parser="earley", lexer="dynamic")
    text = grammar.text(11, 200)
    parser.parse(text)
    with pytest.raises(lark.exceptions.LarkError):
        parser.parse(text[:-1])


def test_corpus_split_and_source_lines():
    lines = [f"line {i}" for i in range(10)]
    train, test = corpora.split(lines)
    assert test == ["line 3", "line 7"] and len(train) == 8
    source = corpora.source_lines(500)
    assert len(source) == 500 and all(line.strip() and "S" not in line for line in source)
    assert corpora.alphabet_of(["ba", "c"], ["a"]) == ["a", "b", "c"]
    prose = corpora.english_lines(2000)
    assert len(prose) == 2000 and prose == corpora.english_lines(2000)
    assert all(line == line.strip().lower() and line for line in prose)


def test_measurement_in_a_child_reports_time_result_stop_and_memory_error(monkeypatch):
    # The children run plain: a sanitizer runtime preloaded into them (as the
    # sanitizer run of the suite does) cannot live under an address-space limit.
    monkeypatch.delenv("LD_PRELOAD", raising=False)
    done = measure_in_child("functools:partial", (len, "abcd"), cap=5.0, repeats=2)
    assert (done.status, done.result, done.runs) == ("ok", 4, 2)
    assert done.seconds < 1 and done.peak_rss_mb >= done.setup_rss_mb > 0

    tags = measure_in_child("functools:partial", (list, (0, -1, 2)), cap=5.0, summarize=True)
    none = measure_in_child("functools:partial", (type(None),), cap=5.0, summarize=True)
    assert tags.result["accepted"] and not none.result["accepted"]
    assert tags.result["digest"] != none.result["digest"]

    started = time.perf_counter()
    stopped = measure_in_child("functools:partial", (time.sleep, 30), cap=0.3)
    assert stopped.status == "stopped" and time.perf_counter() - started < 10

    memory = measure_in_child("functools:partial", (bytearray, 1 << 31), cap=5.0, memory_limit_mb=1024)
    assert memory.status == "memory" and memory.peak_rss_mb < 1024

    failed = measure_in_child("functools:partial", (int, "not a number"), cap=5.0)
    assert failed.status == "error" and "ValueError" in failed.error

    crashed = measure_in_child("functools:partial", (os.abort,), cap=5.0)
    assert crashed.status == "error" and crashed.seconds is None



def test_a_disagreement_with_the_naive_build_is_reported():
    from dense import bench_grammar

    grammar = random_grammar(8, 40, seed=3)
    strings = Sampler(grammar, 12).strings(random.Random(4), 4, 6, 12)

    class Disagreeing:
        to_cnf_tagged = staticmethod(_engine.to_cnf_tagged)
        grammar_bpc = staticmethod(_engine.grammar_bpc)

        @staticmethod
        def parse_cnf(s, rules, start):
            tags = _engine.parse_cnf(s, rules, start)
            return tags[:-1] if s == strings[0] and tags else tags

    assert bench_grammar(_engine, _engine, grammar, strings, cap=5.0)[1]
    row, identical = bench_grammar(_engine, Disagreeing, grammar, strings, cap=5.0)
    assert not identical and row[-1] == "**NO**"


def test_derivations_are_compared_only_where_both_runs_parsed():
    from long_texts import compare_derivations

    before = {"json": [[99, 0.1, "aa", 100], [300, 0.2, "bb", 300]], "arith": [[101, 0.1, "cc"]]}
    now = {"json": [[99, 0.01, "aa", 100], [300, 0.02, "XX", 300], [998, 0.05, "dd", 1000]],
           "arith": [[101, 0.01, "zz", 100]]}
    assert compare_derivations(now, before) == (2, ["json at 300"])
