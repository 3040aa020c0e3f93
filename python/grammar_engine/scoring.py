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
from typing import TYPE_CHECKING, Any, Iterable, Iterator, Mapping, Sequence, Union

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
    source = corpus_source(corpus)
    if isinstance(source, str):
        return CorpusLines(read_corpus(source), source)
    plain = _plain_lines(corpus) if isinstance(corpus, (list, tuple)) else None
    lines = plain if plain is not None else list(source)
    if not lines:
        raise InputError("empty corpus: no non-blank lines", "<lines>")
    return CorpusLines(lines, "<lines>")


def corpus_source(corpus: Corpus) -> str | Iterator[str]:
    """The corpus as it is read lazily: a file path as a str (its lines are read
    with `read_corpus`'s rules), or the non-blank lines of an iterable, one
    trailing line break per item dropped, as they are asked for."""
    if isinstance(corpus, (str, os.PathLike)):
        path = os.fspath(corpus)
        if not isinstance(path, str):
            raise TypeError("a corpus path must be a str path, not bytes")
        if "\n" in path and not os.path.exists(path):
            # Text rather than a path: say so without echoing all of it as a file name.
            raise InputError(
                "a corpus given as one str is the path of a file; "
                "for text, pass its lines (io.StringIO(text) reads them as a file's)"
            )
        return path
    if isinstance(corpus, (bytes, bytearray)):
        raise TypeError("a corpus is an iterable of str or a path, not bytes")
    return _non_blank_items(corpus)


def _plain_lines(corpus: Sequence[Any]) -> list[str] | None:
    """The non-blank lines of a list that needs nothing else done (every item a str
    holding no line break and no lone surrogate), checked in a few calls over the
    whole text rather than line by line; None when some line needs a closer look."""
    try:
        text = "".join(corpus)  # an item that is not a str sends the list the long way
    except TypeError:
        return None
    if "\n" in text:
        return None
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return None
    return [line for line in corpus if line]


def _non_blank_items(corpus: Iterable[str]) -> Iterator[str]:
    for number, item in enumerate(corpus, start=1):
        if not isinstance(item, str):
            raise TypeError(f"corpus line {number} is a {type(item).__name__}, not a str")
        if item.endswith("\n"):
            item = item[:-2] if item.endswith("\r\n") else item[:-1]
        if item:
            _check_encodable(item, number)
            yield item


def _check_encodable(line: str, number: int) -> None:
    # Text read with errors="surrogateescape" keeps undecodable bytes as lone surrogates.
    try:
        line.encode("utf-8")
    except UnicodeEncodeError as error:
        raise InputError(
            f"not valid text: an undecodable byte (a lone surrogate) at character {error.start + 1}",
            "<lines>",
            number,
        ) from None


def score_grammar(
    grammar: Grammar,
    corpus: Corpus,
    *,
    normalize: bool,
    workers: int | None = None,
    chunk_lines: int | None = None,
    client: Any = None,
) -> Score:
    """`Grammar.score`: see there."""
    import _engine

    form = grammar._engine_form(normalize)
    missing: Mapping[str, int]
    if workers is None and chunk_lines is None and client is None:
        source = corpus_lines(corpus)
        metrics = _engine.grammar_bpc(
            form.engine_productions(), source.lines, set(form.terminals), form.start
        )
        lines, size = len(source.lines), source.bytes
        missing, missing_lines = diagnostics.missing_characters(source.lines, form.terminals)
    else:
        from . import sharding

        metrics, counts, census = sharding.score_with_census(
            form.engine_productions(), set(form.terminals), form.start, corpus_source(corpus),
            frozenset(form.terminals), workers=workers, chunk_lines=chunk_lines, client=client,
        )
        # Asked for with the terminals, so always made.
        assert census is not None
        if census.lines == 0:
            raise InputError("empty corpus: no non-blank lines", "<lines>")
        lines, size = census.lines, counts[3]
        missing, missing_lines = census.missing, census.missing_lines
    failures = int(metrics["parse_failures"])
    messages = diagnostics.grammar_warnings(grammar)
    if normalize:
        messages += diagnostics.normalized_note(grammar, form)
        messages += diagnostics.derives_nothing(form, grammar.start)
    else:
        messages += diagnostics.inapplicable_warning(grammar, form)
        messages += diagnostics.derives_nothing_as_written(grammar, form)
    messages += diagnostics.missing_alphabet_warning(missing, missing_lines, form.terminals, "corpus")
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
        bytes=size,
        normalized=normalize,
        warnings=tuple(messages),
    )

