"""`Score`, the result of scoring a grammar on a corpus, and corpus sources.

A corpus is one string per line. It may be given as any iterable of str (a list,
a generator, an open text file: one trailing line break per item is dropped) or
as the path of a UTF-8 file (`str` or `os.PathLike`). Blank lines are skipped:
they could only count as strings that never parse. An empty corpus is refused
with `InputError`, so every `Score` holds all five metrics.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Iterable, Union

from . import diagnostics
from .corpus import read_corpus
from .errors import InputError

if TYPE_CHECKING:
    from .grammar import Grammar

Corpus = Union[str, "os.PathLike[str]", Iterable[str]]

METRIC_KEYS = ("bpc_with_lib", "l_library", "l_data", "parse_failures", "total_decisions")


@dataclass(frozen=True)
class Score:
    """A grammar's description-length score on a corpus, with its coverage.

    `bpc_with_lib` is the total in bits per byte of corpus text (lower is
    better): the bits for the grammar (`l_library`) plus the bits for the corpus
    written with its help (`l_data`), divided by the corpus size in UTF-8 bytes.
    Lines that do not parse (`parse_failures`) are spelled out byte by byte;
    `total_decisions` counts the production uses of the lines that parse.
    """

    bpc_with_lib: float
    l_library: float
    l_data: float
    parse_failures: int
    total_decisions: int
    lines: int
    lines_parsed: int
    coverage: float  # lines_parsed / lines
    bytes: int
    normalized: bool = False  # scored the normalised equivalent of the grammar
    warnings: tuple[str, ...] = ()

    def metrics(self) -> dict[str, float]:
        """The five metrics under their key names, as floats."""
        return {key: float(getattr(self, key)) for key in METRIC_KEYS}


@dataclass(frozen=True)
class CorpusLines:
    lines: list[str]
    name: str  # the path, or "<lines>" for an iterable

    @property
    def bytes(self) -> int:
        return sum(len(line.encode("utf-8")) for line in self.lines)


def corpus_lines(corpus: Corpus) -> CorpusLines:
    """The non-blank lines of `corpus` (see the module's docstring)."""
    if isinstance(corpus, (str, os.PathLike)):
        path = os.fspath(corpus)
        if not isinstance(path, str):
            raise TypeError("a corpus path must be a str path, not bytes")
        return CorpusLines(read_corpus(path), path)
    if isinstance(corpus, (bytes, bytearray)):
        raise TypeError("a corpus is an iterable of str or a path, not bytes")
    lines = []
    for number, item in enumerate(corpus, start=1):
        if not isinstance(item, str):
            raise TypeError(f"corpus line {number} is a {type(item).__name__}, not a str")
        if item.endswith("\n"):
            item = item[:-2] if item.endswith("\r\n") else item[:-1]
        if item:
            lines.append(item)
    if not lines:
        raise InputError("empty corpus: no non-blank lines", "<lines>")
    return CorpusLines(lines, "<lines>")


def score_grammar(grammar: Grammar, corpus: Corpus, *, normalize: bool) -> Score:
    """`Grammar.score`: see there."""
    import _engine

    source = corpus_lines(corpus)
    form = grammar._engine_form(normalize)
    metrics = _engine.grammar_bpc(
        form.engine_productions(), source.lines, set(form.terminals), form.start
    )
    lines = len(source.lines)
    failures = int(metrics["parse_failures"])
    messages = diagnostics.grammar_warnings(grammar)
    if normalize:
        messages += diagnostics.normalized_note(grammar, form)
    else:
        messages += diagnostics.inapplicable_warning(grammar, form)
    messages += diagnostics.derives_nothing(form, grammar.start)
    messages += diagnostics.alphabet_warning(source.lines, form.terminals, "corpus")
    messages += diagnostics.coverage_warning(lines - failures, lines, "corpus lines")
    diagnostics.emit(messages, stacklevel=3)
    return Score(
        bpc_with_lib=metrics["bpc_with_lib"],
        l_library=metrics.get("l_library", 0.0),
        l_data=metrics.get("l_data", 0.0),
        parse_failures=failures,
        total_decisions=int(metrics.get("total_decisions", 0)),
        lines=lines,
        lines_parsed=lines - failures,
        coverage=(lines - failures) / lines if lines else math.nan,
        bytes=source.bytes,
        normalized=normalize,
        warnings=tuple(messages),
    )

