"""Exact scoring and induction of corpora too large for one call, in chunks.

A corpus (a list, any iterable of str, or a file read line by line) is cut into
chunks of `chunk_lines` lines. Each chunk is counted on its own, by worker
processes on every core or by the workers of a Dask cluster, and the counts are
merged in chunk order before the last, cheap step turns them into a result. The
counts are integers and the merge keeps the order in which pairs were first
counted, so any chunking gives exactly what one `_engine` call on the whole corpus
gives: the same dict, the same floats, the same tie order.

Memory stays bounded by the chunk size times the number of chunks in flight,
whatever the size of the corpus. A file is read with the rules of the
command-line tool (strict UTF-8, "\\r\\n" or "\\n" line endings, a leading byte-order
mark dropped, blank lines skipped): this process only finds the line ends of each
chunk, and the worker that counts it reads and decodes its bytes (on a Dask
cluster, whose workers may not see this machine's files, the lines travel with
the task). A chunk that fails, or whose worker dies, raises `ChunkError` naming
the chunk and its lines; no partial result is ever returned. On Ctrl-C the
workers are stopped and `KeyboardInterrupt` propagates.

Worker processes are started with "spawn": a script using this module keeps its
top-level work under `if __name__ == "__main__":`.
"""

from __future__ import annotations

import itertools
import os
import pickle
import signal
import sys
import tempfile
import threading
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from multiprocessing import connection, get_context
from typing import Any, BinaryIO

import _engine

from . import _partial
from .errors import InputError

# Lines per chunk unless the caller says otherwise: large enough that the
# per-chunk costs (grammar preparation, transfer) vanish, small enough that
# Ctrl-C and the progress bar respond within a second or so.
DEFAULT_CHUNK_LINES = 10_000
# Chunks counted or waiting to be merged, per worker, at any time.
CHUNKS_IN_FLIGHT_PER_WORKER = 2

Corpus = Iterable[str] | str | os.PathLike[str]
Productions = Sequence[tuple[str, Sequence[str]]]


class ChunkError(RuntimeError):
    """A chunk could not be counted: its worker raised or died. Nothing was returned."""

    def __init__(self, chunk: "Chunk", reason: str):
        super().__init__(
            f"chunk {chunk.index} (lines {chunk.first_line}-{chunk.last_line}) failed: {reason}"
        )
        self.index = chunk.index
        self.first_line = chunk.first_line
        self.last_line = chunk.last_line


@dataclass(frozen=True)
class Chunk:
    """Consecutive lines of a corpus; `first_line` and `last_line` are 1-based
    positions in the source (file line numbers for a file, blank ones included).
    The lines are either held (`lines`) or read by whoever counts the chunk from
    the bytes `start` to `end` of the file `path`."""

    index: int
    first_line: int
    last_line: int
    lines: list[str] | None
    path: str | None = None
    start: int = 0
    end: int = 0

    def read(self) -> list[str]:
        """The chunk's lines (for a file: the non-blank ones)."""
        if self.lines is not None:
            return self.lines
        assert self.path is not None
        return _read_file_range(self.path, self.start, self.end, self.first_line)


# ---------------------------------------------------------------------------
# Public entry points


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
    iterable of str. `workers` defaults to every core; `client` is a
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
    with _Runner(workers, chunk_lines, client, progress) as runner:
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
    with _Runner(workers, chunk_lines, client, progress) as runner:
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
    with _Runner(workers, chunk_lines, client, progress) as runner, RereadableCorpus(train) as train_lines:
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


# ---------------------------------------------------------------------------
# Chunking


def iter_chunks(corpus: Corpus, chunk_lines: int, *, by_reference: bool = False) -> Iterator[Chunk]:
    """The corpus in chunks of `chunk_lines` lines (the last one shorter). A str or
    path-like is a file path; anything else is an iterable of str, taken as is.
    With `by_reference`, the chunks of a file hold byte ranges instead of lines
    (`chunk_lines` file lines each, blank ones included): this process then only
    looks for line ends, and whoever counts a chunk decodes it."""
    if isinstance(corpus, (str, os.PathLike)) and by_reference:
        yield from _file_chunks(os.fspath(corpus), chunk_lines)
        return
    if isinstance(corpus, (str, os.PathLike)):
        numbered: Iterator[tuple[int, str]] = _file_lines(os.fspath(corpus))
    else:
        numbered = _checked_lines(corpus)
    for index in itertools.count():
        batch = list(itertools.islice(numbered, chunk_lines))
        if not batch:
            return
        yield Chunk(index, batch[0][0], batch[-1][0], [line for _, line in batch])


def _checked_lines(corpus: Iterable[str]) -> Iterator[tuple[int, str]]:
    for number, line in enumerate(corpus, start=1):
        if not isinstance(line, str):
            raise TypeError(f"corpus line {number}: expected str, not {type(line).__name__}")
        yield number, line


def _open_corpus_file(path: str) -> BinaryIO:
    try:
        return open(path, "rb")
    except FileNotFoundError:
        raise InputError("no such file", path) from None
    except IsADirectoryError:
        raise InputError("is a directory, not a file", path) from None
    except PermissionError:
        raise InputError("permission denied", path) from None
    except OSError as error:
        raise InputError(error.strerror or str(error), path) from None


def _file_chunks(path: str, chunk_lines: int) -> Iterator[Chunk]:
    """Byte ranges of `chunk_lines` lines each, found by scanning for line ends."""
    block_size = 1 << 20
    index, first_line, start, offset = 0, 1, 0, 0
    need = chunk_lines
    last_byte = b""
    with _open_corpus_file(path) as stream:
        while block := stream.read(block_size):
            found = block.count(b"\n")
            if found < need:
                need -= found
                offset += len(block)
                last_byte = block[-1:]
                continue
            at = -1
            while found >= need:
                for _ in range(need):
                    at = block.find(b"\n", at + 1)
                end = offset + at + 1
                yield Chunk(index, first_line, first_line + chunk_lines - 1, None, path, start, end)
                index, first_line, start = index + 1, first_line + chunk_lines, end
                found -= need
                need = chunk_lines
            need -= found
            offset += len(block)
            last_byte = block[-1:]
    if start < offset:
        # The line ends left over, and a final line without one.
        lines = chunk_lines - need + (last_byte != b"\n")
        yield Chunk(index, first_line, first_line + lines - 1, None, path, start, offset)
    elif offset == 0:
        raise InputError("empty corpus: no non-blank lines", path)


def _read_file_range(path: str, start: int, end: int, first_line: int) -> list[str]:
    """The non-blank lines of bytes `start` to `end` of a UTF-8 file."""
    with _open_corpus_file(path) as stream:
        stream.seek(start)
        data = stream.read(end - start)
    if start == 0 and data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        # Decoded again line by line, to name the line that is not UTF-8.
        return [line for _, line in _decode_numbered(data.split(b"\n"), path, first_line)]
    return [line[:-1] if line.endswith("\r") else line for line in text.split("\n") if line and line != "\r"]


def _decode_numbered(raw_lines: Iterable[bytes], path: str, first_line: int) -> Iterator[tuple[int, str]]:
    for number, raw in enumerate(raw_lines, start=first_line):
        if raw.endswith(b"\n"):
            raw = raw[:-1]
        if raw.endswith(b"\r"):
            raw = raw[:-1]
        if not raw:
            continue
        try:
            yield number, raw.decode("utf-8")
        except UnicodeDecodeError as error:
            bad = raw[error.start]
            raise InputError(
                f"not valid UTF-8 (byte 0x{bad:02x} at byte {error.start + 1})", path, number
            ) from None


def _file_lines(path: str) -> Iterator[tuple[int, str]]:
    """The non-blank lines of a UTF-8 file with their line numbers, read lazily."""
    seen = False
    with _open_corpus_file(path) as stream:
        first = stream.readline()
        if first.startswith(b"\xef\xbb\xbf"):
            first = first[3:]
        for number, line in _decode_numbered(itertools.chain([first], stream), path, 1):
            seen = True
            yield number, line
    if not seen:
        raise InputError("empty corpus: no non-blank lines", path)


class RereadableCorpus:
    """A corpus read as many times as needed, each iteration a fresh pass over its
    lines. A file path (non-blank lines) or a sequence is simply read again; any
    other iterable is kept in a temporary file during the first pass and read
    from there afterwards. `view(keep)` gives the lines whose 0-based index
    `keep` accepts, as a corpus that can be read again too."""

    _BATCH = 4096

    def __init__(self, corpus: Corpus):
        self._corpus = corpus
        self._native = isinstance(corpus, (str, os.PathLike, Sequence, RereadableCorpus, _View))
        self._spill: BinaryIO | None = None
        self._spilled = False

    def __enter__(self) -> "RereadableCorpus":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        if self._spill is not None:
            self._spill.close()
            self._spill = None

    @property
    def source(self) -> Corpus:
        """What to cut into chunks: the corpus itself when it can be read again
        (a file then keeps its line numbers in errors), else this object."""
        return self._corpus if self._native else self

    def view(self, keep: Callable[[int], bool]) -> "_View":
        return _View(self, keep)

    def __iter__(self) -> Iterator[str]:
        if isinstance(self._corpus, (str, os.PathLike)):
            return (line for _, line in _file_lines(os.fspath(self._corpus)))
        if self._native:
            return iter(self._corpus)
        if self._spilled:
            return self._replay()
        if self._spill is not None:
            raise RuntimeError("a corpus read only once cannot be read again before its first pass ends")
        return self._first_pass()

    def _first_pass(self) -> Iterator[str]:
        self._spill = tempfile.TemporaryFile()
        source = iter(self._corpus)
        while batch := list(itertools.islice(source, self._BATCH)):
            pickle.dump(batch, self._spill, protocol=pickle.HIGHEST_PROTOCOL)
            yield from batch
        self._spilled = True

    def _replay(self) -> Iterator[str]:
        assert self._spill is not None
        self._spill.seek(0)
        while True:
            try:
                batch = pickle.load(self._spill)
            except EOFError:
                return
            yield from batch


class _View:
    """The lines of a rereadable corpus whose index a predicate accepts."""

    def __init__(self, base: RereadableCorpus, keep: Callable[[int], bool]):
        self._base = base
        self._keep = keep

    def __iter__(self) -> Iterator[str]:
        return (line for index, line in enumerate(self._base) if self._keep(index))


def _chunk_size(chunk_lines: int | None) -> int:
    if chunk_lines is None:
        return DEFAULT_CHUNK_LINES
    if isinstance(chunk_lines, bool) or not isinstance(chunk_lines, int) or chunk_lines < 1:
        raise ValueError(f"chunk_lines must be a positive int, not {chunk_lines!r}")
    return chunk_lines


# ---------------------------------------------------------------------------
# The steps run on each chunk (module-level, so workers can unpickle them)


def _translated(table: dict[int, str] | None, lines: list[str]) -> list[str]:
    return [line.translate(table) for line in lines] if table else lines


def _score_chunk(productions: Productions, terminals: frozenset[str], start: str,
                 census_terminals: frozenset[str] | None, lines: list[str]):
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
        for line in lines:
            outside = [char for char in line if char not in terminals]
            if outside:
                missing_lines += 1
                missing.update(outside)
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


def _pair_stats(table: dict[int, str] | None, lines: list[str]):
    return _partial.pair_stats(_translated(table, lines))


def _count_each(grammars: list[tuple[Productions, str]], terminals: frozenset[str],
                table: dict[int, str] | None, lines: list[str]):
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


# ---------------------------------------------------------------------------
# Running the steps


class _Runner:
    """Maps steps over chunks and yields the results in chunk order: in this
    process, in worker processes (started on first need, kept for later steps,
    stopped when the runner closes) or on a Dask cluster."""

    def __init__(self, workers: int | None, chunk_lines: int | None, client: Any, progress: bool | None):
        self._chunk_lines = _chunk_size(chunk_lines)
        if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
            raise ValueError(f"workers must be a positive int, not {workers!r}")
        self._workers = workers if workers is not None else (os.process_cpu_count() or 1)
        self._client = client
        self._progress = progress
        self._pool: _WorkerPool | None = None

    def __enter__(self) -> "_Runner":
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._pool is not None:
            self._pool.stop()
            self._pool = None

    def map(self, step: Callable[..., Any], args: tuple, corpus: Corpus, what: str) -> Iterator[Any]:
        """`step(*args, lines)` for the lines of each chunk of `corpus`, in chunk order."""
        # A cluster's workers may not see this machine's files: they get lines.
        chunks = iter_chunks(corpus, self._chunk_lines, by_reference=self._client is None)
        bar = _progress_bar(self._progress, what)
        lines_seen = 0
        try:
            if self._client is not None:
                results = _map_dask(self._client, step, args, chunks, self._workers)
            else:
                # One chunk, or one worker: no processes to start.
                head = list(itertools.islice(chunks, 2))
                chunks = itertools.chain(head, chunks)
                if self._pool is None and (self._workers == 1 or len(head) < 2):
                    results = _map_here(step, args, chunks)
                else:
                    if self._pool is None:
                        self._pool = _WorkerPool(self._workers)
                        self._pool.start()
                    results = _map_processes(step, args, chunks, self._pool)
            for chunk, lines, result in results:
                if bar is not None:
                    bar.update(chunk.last_line - chunk.first_line + 1)
                lines_seen += lines
                yield result
            if lines_seen == 0 and isinstance(corpus, (str, os.PathLike)):
                raise InputError("empty corpus: no non-blank lines", os.fspath(corpus))
        except BaseException:
            # A failed step, Ctrl-C or a chunking error: stop every worker now.
            self.__exit__()
            raise
        finally:
            if bar is not None:
                bar.close()


def _progress_bar(wanted: bool | None, what: str):
    if wanted is None:
        wanted = sys.stderr.isatty()
    if not wanted:
        return None
    from tqdm import tqdm

    return tqdm(desc=what, unit=" lines", unit_scale=True, leave=False, file=sys.stderr)


def _run_step(step: Callable[..., Any], args: tuple, chunk: Chunk) -> tuple[int, Any]:
    """Reads the chunk's lines and runs the step on them: (number of lines, result)."""
    lines = chunk.read()
    return len(lines), step(*args, lines)


def _map_here(step, args, chunks: Iterator[Chunk]) -> Iterator[tuple[Chunk, int, Any]]:
    for chunk in chunks:
        try:
            lines, result = _run_step(step, args, chunk)
        except InputError:
            raise
        except Exception as error:
            raise ChunkError(chunk, _describe(error)) from error
        yield chunk, lines, result


def _map_processes(step, args, chunks: Iterator[Chunk], pool: "_WorkerPool") -> Iterator[tuple[Chunk, int, Any]]:
    """Each worker process counts one chunk at a time; results are held back until
    all earlier chunks are in, and no chunk is sent more than a small window ahead
    of the next one to merge."""
    window = pool.size * CHUNKS_IN_FLIGHT_PER_WORKER
    pending: dict[int, Chunk] = {}
    done: dict[int, tuple[Chunk, int, Any]] = {}
    next_to_yield = 0
    chunks_left = True
    while True:
        # Keep every idle worker busy, within the window.
        while chunks_left and pool.idle and len(pending) + len(done) < window:
            chunk = next(chunks, None)
            if chunk is None:
                chunks_left = False
                break
            pool.send(chunk, step, args)
            pending[chunk.index] = chunk
        while next_to_yield in done:
            yield done.pop(next_to_yield)
            next_to_yield += 1
        if not pending:
            if not chunks_left:
                return
            continue
        for chunk, (lines, result) in pool.receive():
            del pending[chunk.index]
            done[chunk.index] = (chunk, lines, result)


class _WorkerPool:
    """Worker processes, each fed one chunk at a time over its own pipe, so that a
    worker that dies is known together with the chunk it was counting."""

    def __init__(self, size: int):
        self.size = size
        self._context = get_context("spawn")
        self._workers: list[tuple[Any, Any]] = []  # (process, connection)
        self._busy: dict[int, Chunk] = {}  # worker slot -> chunk
        self.idle: list[int] = []

    def start(self) -> None:
        # Ctrl-C goes to the whole process group; the workers ignore it (a child
        # keeps an ignored signal) and this process stops them instead.
        with _sigint_ignored():
            for slot in range(self.size):
                ours, theirs = self._context.Pipe()
                process = self._context.Process(target=_worker_main, args=(theirs,), daemon=True)
                process.start()
                theirs.close()
                self._workers.append((process, ours))
                self.idle.append(slot)

    def send(self, chunk: Chunk, step, args) -> None:
        slot = self.idle.pop()
        _, conn = self._workers[slot]
        self._busy[slot] = chunk
        try:
            conn.send((step, args, chunk))
        except (BrokenPipeError, ConnectionResetError):
            raise ChunkError(chunk, self._death_reason(slot)) from None

    def receive(self) -> Iterator[tuple[Chunk, Any]]:
        """Waits until at least one busy worker answers; yields (chunk, result)."""
        slots = list(self._busy)
        waitables: dict[Any, int] = {}
        for slot in slots:
            process, conn = self._workers[slot]
            waitables[conn] = slot
            waitables[process.sentinel] = slot
        ready = connection.wait(list(waitables))
        answered = sorted({waitables[item] for item in ready})
        for slot in answered:
            process, conn = self._workers[slot]
            chunk = self._busy[slot]
            try:
                status, value = conn.recv() if conn.poll() else (None, None)
            except (EOFError, OSError):
                status, value = None, None
            if status is None:
                raise ChunkError(chunk, self._death_reason(slot))
            del self._busy[slot]
            self.idle.append(slot)
            if status == "error":
                if isinstance(value[1], InputError):
                    raise value[1]
                raise ChunkError(chunk, value[0]) from value[1]
            yield chunk, value

    def _death_reason(self, slot: int) -> str:
        process, _ = self._workers[slot]
        process.join(timeout=1.0)
        return f"its worker process died (exit code {process.exitcode})"

    def stop(self) -> None:
        for process, conn in self._workers:
            conn.close()
            if process.is_alive():
                process.terminate()
        for process, _ in self._workers:
            process.join(timeout=2.0)
            if process.is_alive():
                process.kill()
                process.join()
        self._workers.clear()


class _sigint_ignored:
    """Ignores SIGINT in this process while worker processes are started (only
    possible in the main thread; elsewhere the workers ignore it themselves)."""

    def __enter__(self) -> None:
        self._previous = None
        if threading.current_thread() is threading.main_thread():
            self._previous = signal.signal(signal.SIGINT, signal.SIG_IGN)

    def __exit__(self, *exc_info: object) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)


def _worker_main(conn) -> None:
    """A worker process: runs (step, args, chunk) tasks until the pipe closes."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    while True:
        try:
            step, args, chunk = conn.recv()
        except (EOFError, OSError):
            return
        try:
            answer = ("ok", _run_step(step, args, chunk))
        except Exception as error:
            answer = ("error", (_describe(error), _picklable(error)))
        del chunk
        try:
            conn.send(answer)
        except (BrokenPipeError, OSError):
            return


def _describe(error: BaseException) -> str:
    return f"{type(error).__name__}: {str(error) or repr(error)}"


def _picklable(error: Exception) -> Exception:
    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")


def _map_dask(client, step, args, chunks: Iterator[Chunk], workers: int) -> Iterator[tuple[Chunk, int, Any]]:
    """The chunks as tasks of a Dask cluster, a bounded number submitted at a time."""
    from distributed import wait

    window = max(workers, len(client.scheduler_info().get("workers", {})) or 1) * CHUNKS_IN_FLIGHT_PER_WORKER
    pending: dict[Any, Chunk] = {}
    done: dict[int, tuple[Chunk, int, Any]] = {}
    next_to_yield = 0
    chunks_left = True
    try:
        while True:
            while chunks_left and len(pending) + len(done) < window:
                chunk = next(chunks, None)
                if chunk is None:
                    chunks_left = False
                    break
                future = client.submit(_run_step, step, args, chunk, pure=False)
                pending[future] = chunk
            while next_to_yield in done:
                yield done.pop(next_to_yield)
                next_to_yield += 1
            if not pending:
                if not chunks_left:
                    return
                continue
            finished = wait(list(pending), return_when="FIRST_COMPLETED").done
            for future in finished:
                chunk = pending.pop(future)
                if future.status != "finished":
                    error = _dask_failure(future)
                    raise ChunkError(chunk, _describe(error)) from error
                lines, result = future.result()
                done[chunk.index] = (chunk, lines, result)
    finally:
        if pending:
            client.cancel(list(pending))


def _dask_failure(future) -> BaseException:
    """What went wrong with a Dask task that did not finish."""
    try:
        error = future.exception()
    except BaseException as cancelled:  # a cancelled task has no exception to give
        return cancelled
    return error if error is not None else RuntimeError(f"task {future.status}")
