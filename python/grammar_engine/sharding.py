"""Exact scoring and induction of corpora too large for one call, in chunks.

A corpus (a list, any iterable of str, or a file read line by line) is cut into
chunks of `chunk_lines` lines. Each chunk is counted on its own, on every core
(a thread of this process beside worker processes) or by the workers of a Dask
cluster, and the counts are merged in chunk order before the last, cheap step
turns them into a result. The counts are integers and the merge keeps the order
in which pairs were first counted, so any chunking gives exactly what one
`_engine` call on the whole corpus gives: the same dict, the same floats, the same
tie order.

Memory stays bounded by the chunk size times the number of chunks in flight,
whatever the size of the corpus. A file is read with the rules of the
command-line tool (strict UTF-8, "\\r\\n" or "\\n" line endings, a leading byte-order
mark dropped, blank lines skipped): this process only finds the line ends of each
chunk, and the worker that counts it reads and decodes its bytes (on a Dask
cluster, whose workers may not see this machine's files, the lines travel with
the task). A chunk that fails, or whose worker dies, raises `ChunkError` naming
the chunk and its lines; no partial result is ever returned. On Ctrl-C the
workers are stopped and `KeyboardInterrupt` propagates.

Worker processes are forked on Linux when this process runs no other thread and
started with "spawn" otherwise: a script using this module keeps its top-level
work under `if __name__ == "__main__":`. The chunks come from
`chunking`, and `chunk_runner` runs the steps on them.
"""

from __future__ import annotations

import itertools
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import _engine

from . import _partial
from .chunk_runner import ChunkRunner
from .chunking import Chunk, Corpus, RereadableCorpus, iter_chunks
from .diagnostics import missing_characters
from .errors import ChunkError

__all__ = [
    "Census", "Chunk", "ChunkError", "InductionDetails", "RereadableCorpus", "census",
    "induce_sharded", "induce_with_details", "iter_chunks", "score_sharded", "score_with_census",
]

Productions = Sequence[tuple[str, Sequence[str]]]
# A chunk's derivation counts: uses per production, parse failures, failed bytes, corpus bytes.
DerivationCounts = tuple[list[int], int, int, int]


def score_sharded(
    productions: Productions,
    terminals: set[str] | frozenset[str],
    start: str,
    corpus: Corpus,
    *,
    workers: int | None = None,
    chunk_lines: int | None = None,
    client: Any = None,
    progress: bool | None = None,
) -> dict[str, float]:
    """Exactly `_engine.grammar_bpc(productions, corpus, terminals, start)`, counted
    chunk by chunk. `corpus` may also be a file path (str or path-like) or any
    iterable of str. `workers` (default: every core) chunks are counted at a time,
    one in a thread of this process and the others in worker processes; `client` is a
    `distributed.Client` whose workers count the chunks instead; `progress`
    (default: when standard error is a terminal) shows a progress bar."""
    metrics, _, _ = score_with_census(
        productions, terminals, start, corpus, None,
        workers=workers, chunk_lines=chunk_lines, client=client, progress=progress,
    )
    return metrics


def score_with_census(
    productions: Productions,
    terminals: set[str] | frozenset[str],
    start: str,
    corpus: Corpus,
    census_terminals: frozenset[str] | None,
    *,
    workers: int | None = None,
    chunk_lines: int | None = None,
    client: Any = None,
    progress: bool | None = None,
) -> tuple[dict[str, float], Any, Census | None]:
    """`score_sharded`, with the merged derivation counts (see `_partial`) and, when
    `census_terminals` is given, the `Census` of the corpus against it, made in
    the same pass."""
    if not isinstance(productions, (list, tuple)) and not isinstance(productions, str):
        productions = list(productions)
    # The one call on an empty corpus checks every argument as the engine does,
    # with its messages, and converts the grammar once (its one fault).
    _engine.grammar_bpc(productions, [], terminals, start)
    frozen_terminals = frozenset(terminals)
    with ChunkRunner(workers, chunk_lines, client, progress) as runner:
        parts = runner.map(
            _score_chunk, (productions, frozen_terminals, start, census_terminals), corpus, "scoring"
        )
        merged = _fold(_merge_score_parts, parts)
    if merged is None:
        merged = _score_chunk(productions, frozen_terminals, start, census_terminals, [])
    counts, corpus_census = merged
    return _partial.score_metrics(productions, frozen_terminals, counts), counts, corpus_census


@dataclass(frozen=True)
class Census:
    """What a pass over a corpus learns besides the counts: its number of lines,
    its characters in the order they first occur and, against a set of
    terminals, the characters outside it (with their counts) and the number of
    lines holding any of them."""

    lines: int
    characters: tuple[str, ...]
    missing: dict[str, int]
    missing_lines: int


def census(
    corpus: Corpus,
    terminals: frozenset[str] | None = None,
    *,
    workers: int | None = None,
    chunk_lines: int | None = None,
    client: Any = None,
    progress: bool | None = None,
) -> Census:
    """The `Census` of a corpus, chunk by chunk."""
    with ChunkRunner(workers, chunk_lines, client, progress) as runner:
        merged = _fold(_merge_censuses, runner.map(_census_chunk, (terminals,), corpus, "reading"))
    return merged if merged is not None else _census_chunk(terminals, [])


def induce_sharded(
    train: Corpus,
    test: Corpus,
    alphabet: Sequence[str],
    *,
    workers: int | None = None,
    chunk_lines: int | None = None,
    client: Any = None,
    progress: bool | None = None,
) -> dict[str, Any]:
    """Exactly `_engine.induce_full(train, test, alphabet)`, counted chunk by chunk.

    The training corpus is read twice (pair counts, then pruning); an iterable
    that can be read only once is kept in a temporary file between the passes."""
    return induce_with_details(
        train, test, alphabet, workers=workers, chunk_lines=chunk_lines, client=client, progress=progress
    ).result


@dataclass(frozen=True)
class InductionDetails:
    """The result dict of `_engine.induce_full`, and how many test lines the
    chosen grammar failed to parse (0 when none was chosen)."""

    result: dict[str, Any]
    test_parse_failures: int


def induce_with_details(
    train: Corpus,
    test: Corpus,
    alphabet: Sequence[str],
    *,
    translate: dict[int, str] | None = None,
    workers: int | None = None,
    chunk_lines: int | None = None,
    client: Any = None,
    progress: bool | None = None,
) -> InductionDetails:
    """`induce_sharded` with the chosen grammar's test parse failures. With
    `translate` (a `str.maketrans` table) every line is translated before it is
    counted, as if the corpora held the translated lines."""
    if not isinstance(alphabet, (list, tuple)) and not isinstance(alphabet, str):
        alphabet = list(alphabet)
    _engine.induce_full([], [], alphabet)
    terminals = frozenset(alphabet)
    table = dict(translate) if translate else None
    with ChunkRunner(workers, chunk_lines, client, progress) as runner, RereadableCorpus(train) as train_lines:
        stats = _fold(
            _partial.merge_pair_stats,
            runner.map(_pair_stats, (table,), train_lines.source, "pair counts"),
        )
        if stats is None:
            stats = _partial.pair_stats([])
        candidates = [c for c in _partial.candidates(stats, alphabet) if c[1]]
        grammars = [(productions, start) for _, productions, start in candidates]
        uses = _fold(
            _merge_each,
            runner.map(_count_each, (grammars, terminals, table), train_lines.source, "pruning"),
        )
        if uses is None:
            uses = _count_each(grammars, terminals, None, [])
        pruned = [
            (strategy, _partial.prune(productions, counts), start)
            for (strategy, productions, start), counts in zip(candidates, uses)
        ]
        pruned = [entry for entry in pruned if entry[1]]
        grammars = [(productions, start) for _, productions, start in pruned]
        test_counts = _fold(
            _merge_each,
            runner.map(_count_each, (grammars, terminals, table), test, "test scoring"),
        )
    if test_counts is None:
        test_counts = _count_each(grammars, terminals, None, [])
    scored = [
        (strategy, productions, _partial.score_metrics(productions, terminals, counts)["bpc_with_lib"])
        for (strategy, productions, _), counts in zip(pruned, test_counts)
    ]
    result = _partial.select(scored)
    failures = 0
    for (strategy, productions, _), counts in zip(pruned, test_counts):
        if strategy == result["strategy"] and productions == result["productions"]:
            failures = counts[1]
            break
    return InductionDetails(result, failures)


# The steps run on each chunk (module-level, so that workers can unpickle them).


def _translated(table: dict[int, str] | None, lines: list[str]) -> list[str]:
    return [line.translate(table) for line in lines] if table else lines


def _score_chunk(
    productions: Productions, terminals: frozenset[str], start: str,
    census_terminals: frozenset[str] | None, lines: list[str],
) -> tuple[DerivationCounts, Census | None]:
    counts = _partial.derivation_counts(productions, terminals, start, lines)
    return counts, (_census_chunk(census_terminals, lines) if census_terminals is not None else None)


def _merge_score_parts(parts: list[Any]) -> Any:
    censuses = [census for _, census in parts]
    return (
        _partial.merge_derivation_counts([counts for counts, _ in parts]),
        _merge_censuses(censuses) if None not in censuses else None,
    )


def _census_chunk(terminals: frozenset[str] | None, lines: list[str]) -> Census:
    missing: Counter[str] = Counter()
    missing_lines = 0
    if terminals is not None:
        missing, missing_lines = missing_characters(lines, terminals)
    characters = tuple(dict.fromkeys(itertools.chain.from_iterable(lines)))
    return Census(len(lines), characters, dict(missing), missing_lines)


def _merge_censuses(parts: list[Census]) -> Census:
    missing: Counter[str] = Counter()
    for part in parts:
        missing.update(part.missing)
    return Census(
        sum(part.lines for part in parts),
        tuple(dict.fromkeys(itertools.chain.from_iterable(part.characters for part in parts))),
        dict(missing),
        sum(part.missing_lines for part in parts),
    )


def _pair_stats(table: dict[int, str] | None, lines: list[str]) -> tuple[bytes, bytes]:
    return _partial.pair_stats(_translated(table, lines))


def _count_each(grammars: Sequence[tuple[Productions, str]], terminals: frozenset[str],
                table: dict[int, str] | None, lines: list[str]) -> list[DerivationCounts]:
    lines = _translated(table, lines)
    return [_partial.derivation_counts(p, terminals, start, lines) for p, start in grammars]


def _merge_each(parts: list[list[Any]]) -> list[Any]:
    return [_partial.merge_derivation_counts(list(column)) for column in zip(*parts)]


def _fold(merge: Callable[[list[Any]], Any], parts: Iterator[Any]) -> Any:
    """Merges the parts in order; None when there are none."""
    merged = None
    for part in parts:
        merged = part if merged is None else merge([merged, part])
    return merged
