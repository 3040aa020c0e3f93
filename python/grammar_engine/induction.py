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

import contextlib
import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Sequence

from . import diagnostics
from .corpus import alphabet_of
from .errors import InputError
from .grammar import Grammar
from .scoring import Corpus, corpus_lines, corpus_source

if TYPE_CHECKING:
    from .chunk_runner import ChunkOptions

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


def held_out_every(test_share: float) -> int:
    """k: every k-th line is held out for testing."""
    if not 0 < test_share < 1:
        raise ValueError(f"test_share must lie strictly between 0 and 1, not {test_share}")
    return max(2, round(1 / test_share))


def split_lines(lines: Sequence[str], test_share: float) -> tuple[list[str], list[str]]:
    """Every k-th line (k = round(1 / test_share)) for testing, the others for training.

    With two or more lines at least one is held out: the last, when no k-th line exists.
    """
    every = held_out_every(test_share)
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
    workers: int | None = None,
    chunk_lines: int | None = None,
    client: Any = None,
) -> Induction:
    """Induce a grammar from `train` and score it on `test`.

    `train` and `test` are corpora as `Grammar.score` takes them (iterables of
    str or file paths). Without `test`, every k-th training line is held out
    for testing (`test_share`, default every fourth line). `alphabet` is the
    terminal set, an iterable of symbols (a str gives its characters, a set is
    taken in code-point order); by default
    the characters of the training lines in the order they first occur.
    `method` is "engine" (the engine's two candidates) or "deep" (phrases found by
    merging pairs on top of the engine's candidate; `progress` is then
    called as `progress(done, total, what)`).

    Giving `workers`, `chunk_lines` or `client` (engine method only) reads the
    corpora in chunks of `chunk_lines` lines (default 10,000), counted on
    `workers` processes (default: every core) or on the workers of a
    `distributed.Client`, with exactly the same result; files are then never
    held in memory whole (see `sharding`).
    """
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, not {method!r}")
    if workers is not None or chunk_lines is not None or client is not None:
        if method != "engine":
            raise ValueError("workers, chunk_lines and client apply to the engine method only")
        options: ChunkOptions = {"workers": workers, "chunk_lines": chunk_lines, "client": client}
        return _induce_in_chunks(train, test, alphabet, test_share, options)
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
    engine_train = _swapped(train_lines, stand_ins)
    engine_test = _swapped(test_lines, stand_ins)
    engine_alphabet = [stand_ins.get(symbol, symbol) for symbol in symbols]

    if method == "deep":
        found = _run_deep(engine_train, engine_test, engine_alphabet, progress)
    else:
        found = _run_engine(engine_train, engine_test, engine_alphabet)
    strategy, bpc, productions, start, steps = found

    parsed = 0
    if productions:
        import _engine

        metrics = _engine.grammar_bpc(productions, engine_test, set(engine_alphabet), start)
        parsed = len(engine_test) - int(metrics["parse_failures"])
    missing = diagnostics.missing_characters(test_lines, frozenset(symbols))
    return _induction(
        method, found, symbols, engine_alphabet, stand_ins, len(train_lines), len(test_lines), parsed, missing,
        stacklevel=3, notes=_share_note(test, test_share),
    )


def _induce_in_chunks(
    train: Corpus, test: Corpus | None, alphabet: Iterable[str] | None, test_share: float, options: ChunkOptions
) -> Induction:
    """`induce` with the engine method on corpora read in chunks (see `sharding`)."""
    from . import sharding

    with sharding.RereadableCorpus(corpus_source(train)) as source, contextlib.ExitStack() as stack:
        if test is None:
            every = held_out_every(test_share)
            train_part = sharding.RereadableCorpus(source.view(lambda i: i % every != every - 1))
            test_part = sharding.RereadableCorpus(source.view(lambda i: i % every == every - 1))
        else:
            train_part = source
            test_part = stack.enter_context(sharding.RereadableCorpus(corpus_source(test)))
        train_census = sharding.census(train_part.source, **options)
        symbols = _alphabet(alphabet, list(train_census.characters))
        test_census = sharding.census(test_part.source, frozenset(symbols), **options)
        if test is None and test_census.lines == 0:
            # Too few lines to hold every k-th one out: few enough to read whole.
            return induce(list(source), None, symbols if alphabet is not None else None, test_share=test_share)
        for census in (train_census, test_census):
            if census.lines == 0:
                raise InputError("empty corpus: no non-blank lines", "<lines>")
        stand_ins = _stand_ins(train_census.characters, test_census.characters, symbols)
        engine_alphabet = [stand_ins.get(symbol, symbol) for symbol in symbols]
        details = sharding.induce_with_details(
            train_part.source,
            test_part.source,
            engine_alphabet,
            translate=str.maketrans(stand_ins) if stand_ins else None,
            **options,
        )
    result = details.result
    productions = [(lhs, list(rhs)) for lhs, rhs in result["productions"]]
    found = (result["strategy"], result["bpc"], productions, ENGINE_START, 0)
    parsed = test_census.lines - details.test_parse_failures if productions else 0
    missing = (test_census.missing, test_census.missing_lines)
    return _induction(
        "engine", found, symbols, engine_alphabet, stand_ins, train_census.lines, test_census.lines, parsed, missing,
        stacklevel=4, notes=_share_note(test, test_share),
    )


def _induction(
    method: str,
    found: "_Found",
    symbols: list[str],
    engine_alphabet: list[str],
    stand_ins: dict[str, str],
    train_count: int,
    test_count: int,
    parsed: int,
    missing: tuple[Mapping[str, int], int],
    *,
    stacklevel: int,
    notes: Sequence[str] = (),
) -> Induction:
    """The `Induction` of a run: the grammar in the user's characters, and the
    warnings, attributed `stacklevel` frames up."""
    strategy, bpc, productions, start, steps = found
    back = {new: old for old, new in stand_ins.items()}
    grammar = None
    if productions:
        grammar = _user_grammar(productions, engine_alphabet, start, back, symbols)

    messages: list[str] = list(notes)
    if test_count < FEW_TEST_LINES:
        messages.append(
            f"only {test_count} test line{'' if test_count == 1 else 's'}: "
            "a score on so little text says little"
        )
    if grammar is None:
        messages.append("no candidate grammar reached a finite score on the test lines")
    else:
        messages += diagnostics.coverage_warning(parsed, test_count, "test lines")
        messages += diagnostics.derives_nothing(grammar._engine_form(False), grammar.start)
        messages += _outside_alphabet(grammar)
    messages += diagnostics.missing_alphabet_warning(*missing, frozenset(symbols), "test lines")
    diagnostics.emit(messages, stacklevel=stacklevel)
    return Induction(
        method=method,
        strategy=strategy,
        bpc=bpc,
        grammar=grammar,
        alphabet=tuple(symbols),
        train_lines=train_count,
        test_lines=test_count,
        test_lines_parsed=parsed,
        coverage=parsed / test_count if test_count else math.nan,
        warnings=tuple(messages),
        steps=steps,
    )


_Found = tuple[str, float, list[tuple[str, list[str]]], str, int]


def _share_note(test: Corpus | None, test_share: float) -> list[str]:
    """A note when `test_share` asks for more than every second line."""
    if test is None and round(1 / test_share) < 2:
        return [
            f"a test share of {test_share} would hold out every line; every second line "
            "is held out instead"
        ]
    return []


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
    if isinstance(alphabet, (set, frozenset)):
        # A set's order varies from run to run; the candidates follow the alphabet's order.
        alphabet = sorted(alphabet, key=lambda symbol: (not isinstance(symbol, str), str(symbol)))
    symbols = list(dict.fromkeys(alphabet))
    for symbol in symbols:
        if not isinstance(symbol, str):
            raise TypeError(f"alphabet entries must be str, not {type(symbol).__name__}")
    return symbols


def _stand_ins(train: Sequence[str], test: Sequence[str], alphabet: list[str]) -> dict[str, str]:
    """For each character equal to the engine's nonterminal, an unused stand-in.

    The stand-in has the same UTF-8 length and occurs nowhere in the corpus or
    the alphabet, so the engine sees the same text, byte counts and terminal count.
    """
    if not any(ENGINE_START in line for line in (*train, *test)) and ENGINE_START not in alphabet:
        return {}
    used = set(alphabet) | set("".join(train)) | set("".join(test))
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


def _swapped(lines: list[str], stand_ins: dict[str, str]) -> list[str]:
    """The lines with each character replaced by its stand-in (one at most)."""
    for character, stand_in in stand_ins.items():
        lines = [line.replace(character, stand_in) for line in lines]
    return lines


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


def _outside_alphabet(grammar: Grammar) -> list[str]:
    """A warning when the grammar uses symbols that are neither terminals nor defined.

    The engine builds candidates from the training text, and reads a character outside
    the terminal set as a nonterminal that derives nothing.
    """
    defined = set(grammar.nonterminals)
    outside: dict[str, None] = {}
    stuck = 0
    for index, (_, rhs) in enumerate(grammar.productions):
        names = [s for p, s in enumerate(rhs) if not grammar.is_terminal(index, p) and s not in defined]
        outside.update(dict.fromkeys(names))
        stuck += bool(names)
    if not outside:
        return []
    shown = ", ".join(repr(symbol) for symbol in outside)
    return [
        f"the induced grammar uses {shown}, which the alphabet leaves out and no production "
        f"defines; read as nonterminals that derive nothing, they keep {stuck} production"
        f"{'' if stuck == 1 else 's'} from ever applying"
    ]
