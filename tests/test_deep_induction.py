"""Deep induction: its score is the engine's, it never loses to the engine's own
candidate, it is deterministic, and its derivation model agrees with the parser."""

import math
import random
import re

import _engine
import pytest
from hypothesis import given
from hypothesis import strategies as st

from grammar_engine.deep_induction import induce_deep
from grammar_engine.phrase_grammar import (
    Segmenter,
    description_length,
    library_bits,
    productions_of,
    symbol_bits,
)

NAME = re.compile(r"[\w/](?:[\w/^<>]|-(?!>))*\Z")


def code_like(count, seed=7):
    """Lines with real repeated structure: indentation, keywords, names."""
    rng = random.Random(seed)
    names = ["self", "value", "items", "result", "index", "name"]
    templates = [
        "    def {a}(self, {b}):",
        "        return self.{a}",
        "        self.{a} = {b}",
        "        if {a} is None:",
        "        for {a} in {b}:",
        "            {a}.append({b})",
    ]
    return [rng.choice(templates).format(a=rng.choice(names), b=rng.choice(names)) for _ in range(count)]


def alphabet_of(*corpora):
    return list(dict.fromkeys(char for lines in corpora for line in lines for char in line))


def check_result(result, train, test, alphabet):
    """What every result promises, whatever the corpus."""
    terminals = set(alphabet)
    assert result.terminals == alphabet and result.start == "S"
    metrics = _engine.grammar_bpc(result.productions, test, terminals, "S")
    assert result.metrics == metrics
    assert result.bpc == metrics["bpc_with_lib"] or (math.isinf(result.bpc) and math.isinf(metrics["bpc_with_lib"]))
    for lhs, rhs in result.productions:
        assert rhs, "empty rule"
        assert not (len(rhs) == 1 and rhs[0] not in terminals), "unit rule"
        assert lhs not in terminals and NAME.match(lhs)
    base = _engine.induce_full(train, test, alphabet)["bpc"]
    assert result.bpc <= base


def test_structured_lines_score_far_below_the_engine_candidate():
    lines = code_like(400)
    train, test = lines[:300], lines[300:]
    alphabet = alphabet_of(train, test)
    result = induce_deep(train, test, alphabet)
    check_result(result, train, test, alphabet)
    base = _engine.induce_full(train, test, alphabet)["bpc"]
    assert result.bpc < 0.6 * base
    assert result.steps > 0
    # Same arguments, same grammar: nothing depends on hash order or chance.
    again = induce_deep(list(train), list(test), list(alphabet))
    assert again == result


def test_engine_candidate_kept_when_phrases_do_not_help():
    # Balanced brackets: the engine's recursive candidate beats any phrase list.
    from grammar_engine.corpus import default_corpus
    from grammar_engine.induction import split_lines

    train, test = split_lines(default_corpus(), 0.25)
    alphabet = alphabet_of(train)
    result = induce_deep(train, test, alphabet)
    check_result(result, train, test, alphabet)
    assert result.productions == [(lhs, list(rhs)) for lhs, rhs in _engine.induce_full(train, test, alphabet)["productions"]]
    assert result.steps == 0


@pytest.mark.parametrize(
    "train, test, alphabet",
    [
        (["abc", "abd"], [], ["a", "b", "c", "d"]),  # nothing to score on
        (["abc", "abd"], ["", ""], ["a", "b", "c", "d"]),  # only empty test lines
        ([], ["ab", "ba"], ["a", "b"]),  # nothing to learn from
        (["xyz", "q"], ["ab"], []),  # no alphabet at all
        (["a1b2", "c3d4", "e5f6"], ["g7h8", "a1?"], list("abcdefgh12345678")),  # no structure, a stray character
        (["ab", "ab", "ab"], ["ab", "x"], ["a", "b", "ab", ""]),  # entries that are no single character
    ],
)
def test_unusual_inputs(train, test, alphabet):
    result = induce_deep(train, test, alphabet)
    check_result(result, train, test, alphabet)


def test_start_symbol_in_alphabet_is_refused():
    with pytest.raises(ValueError, match="start symbol"):
        induce_deep(["aSa"], ["aSa"], ["a", "S"])


def test_progress_is_reported_and_interrupt_propagates():
    lines = code_like(120)
    seen = []
    induce_deep(lines[:90], lines[90:], alphabet_of(lines), progress=lambda done, total, what: seen.append(what))
    assert seen and all(isinstance(what, str) for what in seen)

    def interrupt(done, total, what):
        if what.startswith("merging"):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        induce_deep(lines[:90], lines[90:], alphabet_of(lines), progress=interrupt)


# The search weighs grammars by reproducing the engine's derivation and code
# length; any disagreement would make it optimise the wrong thing.
phrase_texts = st.text(alphabet="ab c", min_size=2, max_size=5)


@given(
    phrases=st.lists(st.tuples(phrase_texts, st.booleans()), max_size=8, unique=True),
    lines=st.lists(st.text(alphabet="ab cd", max_size=12), min_size=1, max_size=6),
)
def test_derivation_model_matches_the_engine(phrases, lines):
    characters = ["a", "b", " ", "c"]  # "d" has no production: lines holding it fail
    terminals = set(characters) | {"d"}
    everything = phrases + [(char, ending) for char in characters for ending in (False, True)]
    productions = productions_of(everything)
    rules = _engine.to_cnf_tagged(productions, terminals)
    segmenter = Segmenter(phrases, characters)
    for line in lines:
        tags = _engine.parse_cnf(line, rules, "S")
        pieces = segmenter.segment(line)
        if tags is None:
            assert pieces is None
            continue
        used = [productions[tag] for tag in tags if tag >= 0]
        assert used == [("S", list(text) if ending else [*text, "S"]) for text, ending in pieces]
    usage = segmenter.usage(lines)
    bits = symbol_bits(len(terminals), 1)
    expected = _engine.grammar_bpc(productions, lines, terminals, "S")["bpc_with_lib"]
    assert description_length(usage, library_bits(everything, bits), len(terminals)) == pytest.approx(expected, abs=1e-4)


def test_merging_grows_phrases_from_earlier_ones_within_the_budget():
    from grammar_engine.pair_merging import distinct_lines, merge_pairs

    lines = distinct_lines(["the cat sat on the mat"] * 40 + ["the dog sat on the log"] * 40 + ["a cat"] * 5)
    merged = merge_pairs(lines, scale=1.0, bits_per_symbol=5.0, max_phrase_chars=10_000)
    texts = [text for text, _ in merged.phrases]
    # Whole repeated lines become single phrases, built on shorter ones made before.
    assert ("the cat sat on the mat", True) in merged.uses and ("the dog sat on the log", True) in merged.uses
    assert any(len(text) < 10 for text in texts[: len(texts) // 2])
    assert merge_pairs(lines, scale=1.0, bits_per_symbol=5.0, max_phrase_chars=10_000) == merged

    small = merge_pairs(lines, scale=1.0, bits_per_symbol=5.0, max_phrase_chars=12)
    # The budget is checked per pair merged, so one merge may end just past it.
    assert sum(len(text) for text, _ in small.uses) < 12 + 22
    assert len(small.phrases) < len(merged.phrases)

    # Nothing repeats often enough to pay for a production.
    assert merge_pairs(distinct_lines(["ab", "cd", "ef"]), scale=1.0, bits_per_symbol=5.0, max_phrase_chars=100).phrases == []


def test_phrase_budget_shrinks_with_held_out_work_and_chart_size():
    from grammar_engine.deep_induction import CHART_BYTES, MAX_PHRASE_CHARS, MIN_PHRASE_CHARS, phrase_budget

    assert phrase_budget([]) == MAX_PHRASE_CHARS
    assert phrase_budget([40] * 3_000) == MAX_PHRASE_CHARS
    budgets = [phrase_budget([40] * lines) for lines in (10**5, 10**6, 10**7)]
    assert budgets == sorted(budgets, reverse=True) and budgets[-1] == MIN_PHRASE_CHARS
    # One long line bounds the chart: phrase characters times n * n / 8 bytes.
    for longest in (2_000, 20_000, 200_000):
        budget = phrase_budget([40] * 100 + [longest])
        assert budget * longest * longest / 8 <= CHART_BYTES
    assert phrase_budget([200_000]) == 0


def test_grammar_stays_within_the_phrase_budget(monkeypatch):
    from grammar_engine import deep_induction

    lines = code_like(400)
    train, test = lines[:300], lines[300:]
    alphabet = alphabet_of(train, test)
    free = induce_deep(train, test, alphabet)
    monkeypatch.setattr(deep_induction, "phrase_budget", lambda lengths: 60)
    tight = induce_deep(train, test, alphabet)
    check_result(tight, train, test, alphabet)

    def phrase_chars(result):
        return sum(len(rhs) - (rhs[-1] == "S") for _, rhs in result.productions if len(rhs) - (rhs[-1] == "S") >= 2)

    assert phrase_chars(free) > 60 >= phrase_chars(tight) > 0
    assert free.bpc < tight.bpc
