"""`induce`: a grammar from training lines, scored on held-out test lines.

The engine's method builds two candidate grammars over the single nonterminal
`S` ("wrap" and "chain"), prunes them by use on the training lines and keeps the
one with the lower score on the test lines. The engine decides terminal-ness by
the terminal set, so a corpus holding the character `S` would turn the
nonterminal into a terminal. `induce` therefore runs the engine on a copy of the
corpus where each such character is replaced by an unused stand-in of the same
UTF-8 length (the score in bits per byte is then exactly the one the corpus
would get without the clash), and maps the grammar back to the user's
characters: the result holds both the nonterminal `S` and the terminal `'S'`,
which `Grammar` keeps apart.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Iterable, Sequence

from . import diagnostics
from .corpus import alphabet_of
from .errors import InputError
from .grammar import Grammar
from .scoring import Corpus, corpus_lines

METHODS = ("engine", "deep")
# The names the engine's candidates and its conversion use for nonterminals.
ENGINE_START = "S"
FEW_TEST_LINES = 10


@dataclass(frozen=True)
class Induction:
    """The result of `induce`.

    `bpc` is the chosen grammar's score on the test lines in bits per byte
    (`inf` when no candidate reached a finite score; `grammar` is then None).
    `test_lines_parsed` and `coverage` say how many test lines the grammar parses.
    """

    method: str
    strategy: str
    bpc: float
    grammar: Grammar | None
    alphabet: tuple[str, ...]
    train_lines: int
    test_lines: int
    test_lines_parsed: int
    coverage: float
    warnings: tuple[str, ...] = ()
    steps: int = 0  # accepted steps of the deep method


def split_lines(lines: Sequence[str], test_share: float) -> tuple[list[str], list[str]]:
    """Every k-th line (k = round(1 / test_share)) for testing, the others for training.

    With two or more lines at least one is held out: the last, when no k-th line exists.
    """
    if not 0 < test_share < 1:
        raise ValueError(f"test_share must lie strictly between 0 and 1, not {test_share}")
    every = max(2, round(1 / test_share))
    held = [index % every == every - 1 for index in range(len(lines))]
    if len(lines) >= 2 and not any(held):
        held[-1] = True
    train = [line for line, out in zip(lines, held) if not out]
    test = [line for line, out in zip(lines, held) if out]
    return train, test


def induce(
    train: Corpus,
    test: Corpus | None = None,
    alphabet: Iterable[str] | None = None,
    *,
    test_share: float = 0.25,
    method: str = "engine",
    progress: Any = None,
) -> Induction:
    """Induce a grammar from `train` and score it on `test`.

    `train` and `test` are corpora as `Grammar.score` takes them (iterables of
    str or file paths). Without `test`, every k-th training line is held out
    for testing (`test_share`, default every fourth line). `alphabet` is the
    terminal set, an iterable of symbols (a str gives its characters); by default
    the characters of the training lines in the order they first occur.
    `method` is "engine" (the engine's two candidates) or "deep" (a hierarchy of
    nonterminals grown on top of the engine's candidate; `progress` is then
    called as `progress(done, total, what)`).
    """
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, not {method!r}")
    train_lines = corpus_lines(train).lines
    if test is None:
        if len(train_lines) < 2:
            raise InputError(
                "one line is too few to hold a test line out; give test lines as well"
            )
        train_lines, test_lines = split_lines(train_lines, test_share)
    else:
        test_lines = corpus_lines(test).lines
    symbols = _alphabet(alphabet, train_lines)

    stand_ins = _stand_ins(train_lines, test_lines, symbols)
    swap = str.maketrans(stand_ins)
    engine_train = [line.translate(swap) for line in train_lines] if stand_ins else train_lines
    engine_test = [line.translate(swap) for line in test_lines] if stand_ins else test_lines
    engine_alphabet = [stand_ins.get(symbol, symbol) for symbol in symbols]

    if method == "deep":
        found = _run_deep(engine_train, engine_test, engine_alphabet, progress)
    else:
        found = _run_engine(engine_train, engine_test, engine_alphabet)
    strategy, bpc, productions, start, steps = found

    back = {new: old for old, new in stand_ins.items()}
    grammar = None
    parsed = 0
    if productions:
        grammar = _user_grammar(productions, engine_alphabet, start, back, symbols)
        import _engine

        metrics = _engine.grammar_bpc(productions, engine_test, set(engine_alphabet), start)
        parsed = len(engine_test) - int(metrics["parse_failures"])

    messages: list[str] = []
    if len(test_lines) < FEW_TEST_LINES:
        messages.append(
            f"only {len(test_lines)} test line{'' if len(test_lines) == 1 else 's'}: "
            "a score on so little text says little"
        )
    if grammar is None:
        messages.append("no candidate grammar reached a finite score on the test lines")
    else:
        messages += diagnostics.coverage_warning(parsed, len(test_lines), "test lines")
        messages += diagnostics.derives_nothing(grammar._engine_form(False), grammar.start)
    messages += diagnostics.alphabet_warning(test_lines, frozenset(symbols), "test lines")
    diagnostics.emit(messages, stacklevel=2)
    return Induction(
        method=method,
        strategy=strategy,
        bpc=bpc,
        grammar=grammar,
        alphabet=tuple(symbols),
        train_lines=len(train_lines),
        test_lines=len(test_lines),
        test_lines_parsed=parsed,
        coverage=parsed / len(test_lines) if test_lines else math.nan,
        warnings=tuple(messages),
        steps=steps,
    )


_Found = tuple[str, float, list[tuple[str, list[str]]], str, int]


def _run_engine(train: list[str], test: list[str], alphabet: list[str]) -> _Found:
    import _engine

    result = _engine.induce_full(train, test, alphabet)
    productions = [(lhs, list(rhs)) for lhs, rhs in result["productions"]]
    return result["strategy"], result["bpc"], productions, ENGINE_START, 0


def _run_deep(train: list[str], test: list[str], alphabet: list[str], progress: Any) -> _Found:
    try:
        from .deep_induction import induce_deep
    except ImportError as error:
        raise NotImplementedError(
            f"the deep induction method is not available in this installation ({error})"
        ) from None
    result = induce_deep(train, test, alphabet, progress=progress)
    productions = [(lhs, list(rhs)) for lhs, rhs in result.productions]
    return "deep", result.bpc, productions, result.start, result.steps


def _alphabet(alphabet: Iterable[str] | None, train: list[str]) -> list[str]:
    if alphabet is None:
        return alphabet_of(train)
    symbols = list(dict.fromkeys(alphabet))
    for symbol in symbols:
        if not isinstance(symbol, str):
            raise TypeError(f"alphabet entries must be str, not {type(symbol).__name__}")
    return symbols


def _stand_ins(train: list[str], test: list[str], alphabet: list[str]) -> dict[str, str]:
    """For each character equal to the engine's nonterminal, an unused stand-in.

    The stand-in has the same UTF-8 length and occurs nowhere in the corpus or
    the alphabet, so the engine sees the same text, byte counts and terminal count.
    """
    used = set(alphabet)
    for line in (*train, *test):
        used.update(line)
    if ENGINE_START not in used:
        return {}
    # Letters first, for readable intermediate grammars; then any other
    # one-byte character (never a line break, which a corpus line cannot hold).
    candidates = [chr(c) for c in range(ord("Z"), ord("A") - 1, -1)]
    candidates += [chr(c) for c in range(ord("z"), ord("a") - 1, -1)]
    candidates += [chr(c) for c in range(1, 128) if chr(c) != "\n"]
    for candidate in candidates:
        if candidate not in used and candidate != ENGINE_START:
            return {ENGINE_START: candidate}
    raise InputError(
        "the corpus uses every one-byte character, so the character 'S' (which the "
        "induction uses as its nonterminal) has no stand-in"
    )


def _user_grammar(
    productions: list[tuple[str, list[str]]],
    engine_alphabet: list[str],
    start: str,
    back: dict[str, str],
    alphabet: list[str],
) -> Grammar:
    """The induced grammar in the user's characters, terminals told from nonterminals."""
    terminal_set = set(engine_alphabet)
    user_productions = []
    quoted = []
    for lhs, rhs in productions:
        marks = tuple(symbol in terminal_set for symbol in rhs)
        user_productions.append(
            (lhs, tuple(back.get(s, s) if mark else s for s, mark in zip(rhs, marks)))
        )
        quoted.append(marks)
    return Grammar._from_parts(user_productions, alphabet, start, quoted)
