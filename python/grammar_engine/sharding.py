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
# A chunk's floor counts: derivation counts, characters of the lines that parsed, key occurrences.
FloorCounts = tuple[DerivationCounts, int, list[int]]


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
    with ChunkRunner(workers, chunk_lines, client, progress) as runner, \
            RereadableCorpus(train) as train_lines, RereadableCorpus(test) as test_lines:
        stats = _fold(
            _partial.merge_pair_stats,
            runner.map(_pair_stats, (table,), train_lines.source, "pair counts"),
        )
        if stats is None:
            stats = _partial.pair_stats([])
        candidates = [c for c in _partial.candidates(stats, alphabet) if c[1]]
        # As `_engine.induce_full` does: the smallest candidate is pruned and scored
        # first; each other one is bounded from below by one parse of the test
        # corpus with the whole candidate (in the same pass), and pruned only if
        # it could still score lower.
        order = sorted(range(len(candidates)), key=lambda i: len(candidates[i][1]))
        first, others = order[:1], order[1:]
        pruned = _pruned(runner, train_lines, candidates, first, terminals, table)
        test_counts, floors = _test_counts(runner, test_lines, pruned, [candidates[i] for i in others],
                                           terminals, table)
        scores = {i: _score(pruned[i], terminals, test_counts[i]) for i in test_counts}
        best = min(scores.values(), default=float("inf"))
        others = [i for i, floor in zip(others, floors)
                  if not _partial.cannot_beat(_partial.pruning_floor(*_whole(candidates[i], terminals), floor), best)]
        pruned.update(_pruned(runner, train_lines, candidates, others, terminals, table))
        # A candidate that lost nothing to pruning has the counts of its floor pass.
        for i, floor in zip(order[1:], floors):
            if i in pruned and len(pruned[i][1]) == len(candidates[i][1]):
                test_counts[i] = floor[0]
        rest = [i for i in others if i in pruned and i not in test_counts]
        more, _ = _test_counts(runner, test_lines, {i: pruned[i] for i in rest}, [], terminals, table)
        test_counts.update(more)
    chosen = sorted(test_counts)
    scored = [(pruned[i][0], pruned[i][1], _score(pruned[i], terminals, test_counts[i])) for i in chosen]
    result = _partial.select(scored)
    failures = 0
    for i in chosen:
        strategy, productions, _ = pruned[i]
        if strategy == result["strategy"] and productions == result["productions"]:
            failures = test_counts[i][1]
            break
    return InductionDetails(result, failures)


Candidate = tuple[str, list[tuple[str, list[str]]], str]


def _pruned(runner: ChunkRunner, train: RereadableCorpus, candidates: list[Candidate], chosen: list[int],
            terminals: frozenset[str], table: dict[int, str] | None) -> dict[int, Candidate]:
    """The chosen candidates pruned by their uses on the training corpus (one pass);
    those that prune to nothing are left out."""
    if not chosen:
        return {}
    grammars = [(candidates[i][1], candidates[i][2]) for i in chosen]
    uses = _fold(_merge_each, runner.map(_count_each, (grammars, terminals, table), train.source, "pruning"))
    if uses is None:
        uses = _count_each(grammars, terminals, None, [])
    out = {}
    for i, counts in zip(chosen, uses):
        strategy, productions, start = candidates[i]
        kept = _partial.prune(productions, counts)
        if kept:
            out[i] = (strategy, kept, start)
    return out


def _test_counts(runner: ChunkRunner, test: RereadableCorpus, scored: dict[int, Candidate],
                 floored: list[Candidate], terminals: frozenset[str],
                 table: dict[int, str] | None) -> tuple[dict[int, DerivationCounts], list[FloorCounts]]:
    """In one pass over the test corpus: the derivation counts of the `scored`
    grammars, and the floor counts of the `floored` ones."""
    if not scored and not floored:
        return {}, []
    grammars = [(scored[i][1], scored[i][2]) for i in scored]
    whole = [(productions, start) for _, productions, start in floored]
    merged = _fold(_merge_test_counts,
                   runner.map(_count_test, (grammars, whole, terminals, table), test.source, "test scoring"))
    if merged is None:
        merged = _count_test(grammars, whole, terminals, None, [])
    counts, floors = merged
    return dict(zip(scored, counts)), floors


def _whole(candidate: Candidate, terminals: frozenset[str]) -> tuple[Productions, frozenset[str], str]:
    """A candidate's productions, terminals and start, as the floor takes them."""
    return candidate[1], terminals, candidate[2]


def _score(candidate: Candidate, terminals: frozenset[str], counts: DerivationCounts) -> float:
    return _partial.score_metrics(candidate[1], terminals, counts)["bpc_with_lib"]


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


def _count_test(grammars: Sequence[tuple[Productions, str]], whole: Sequence[tuple[Productions, str]],
                terminals: frozenset[str], table: dict[int, str] | None,
                lines: list[str]) -> tuple[list[DerivationCounts], list[FloorCounts]]:
    lines = _translated(table, lines)
    return ([_partial.derivation_counts(p, terminals, start, lines) for p, start in grammars],
            [_partial.floor_counts(p, terminals, start, lines) for p, start in whole])


def _merge_test_counts(parts: list[tuple[list[Any], list[Any]]]) -> tuple[list[Any], list[Any]]:
    return (_merge_each([counts for counts, _ in parts]),
            [_partial.merge_floor_counts(list(column)) for column in zip(*(floors for _, floors in parts))])


def _merge_each(parts: list[list[Any]]) -> list[Any]:
    return [_partial.merge_derivation_counts(list(column)) for column in zip(*parts)]


def _fold(merge: Callable[[list[Any]], Any], parts: Iterator[Any]) -> Any:
    """Merges the parts in order; None when there are none."""
    merged = None
    for part in parts:
        merged = part if merged is None else merge([merged, part])
    return merged
