"""Runs a step over the chunks of a corpus and yields the results in chunk order:
in this process, in worker processes (one chunk at a time each, over a pipe of
its own, so that a worker that dies is known with its chunk) or on a Dask
cluster. Ctrl-C stops the workers; a chunk that fails raises `ChunkError`.

With N workers, N - 1 are processes and one is a thread of this process: the
counting steps release the interpreter lock, so the thread counts in parallel
with this process's own reading and merging, and starts at once instead of
waiting for an interpreter to start.

Worker processes are forked on Linux when this process runs no other thread, and
started with "spawn" otherwise: a script using them keeps its top-level work under
`if __name__ == "__main__":`.
"""

from __future__ import annotations

import itertools
import os
import pickle
import signal
import sys
import threading
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from multiprocessing import connection, get_context
from multiprocessing.connection import Connection
from typing import Any, TypedDict

from .chunking import Chunk, Corpus, chunk_size, iter_chunks
from .errors import ChunkError, InputError

# Chunks counted or waiting to be merged, per worker, at any time.
CHUNKS_IN_FLIGHT_PER_WORKER = 4


class ChunkOptions(TypedDict, total=False):
    """The keyword arguments that choose how a chunked run counts its chunks
    (those left out take their defaults)."""

    workers: int | None
    chunk_lines: int | None
    client: Any


class ChunkRunner:
    """Maps steps over chunks and yields the results in chunk order: in this
    process, in worker processes (started on first need, kept for later steps,
    stopped when the runner closes) or on a Dask cluster."""

    def __init__(self, workers: int | None, chunk_lines: int | None, client: Any, progress: bool | None):
        self._chunk_lines = chunk_size(chunk_lines)
        if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
            raise ValueError(f"workers must be a positive int, not {workers!r}")
        self._workers = workers if workers is not None else (os.process_cpu_count() or 1)
        self._client = client
        self._progress = progress
        self._pool: _WorkerPool | None = None

    def __enter__(self) -> "ChunkRunner":
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._pool is not None:
            self._pool.stop()
            self._pool = None

    def map(
        self, step: Callable[..., Any], args: tuple[Any, ...], corpus: Corpus, what: str
    ) -> Iterator[Any]:
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


def _progress_bar(wanted: bool | None, what: str) -> Any:
    if wanted is None:
        wanted = sys.stderr.isatty()
    if not wanted:
        return None
    from tqdm import tqdm

    return tqdm(desc=what, unit=" lines", unit_scale=True, leave=False, file=sys.stderr)


def _run_step(step: Callable[..., Any], args: tuple[Any, ...], chunk: Chunk) -> tuple[int, Any]:
    """Reads the chunk's lines and runs the step on them: (number of lines, result)."""
    lines = chunk.read()
    return len(lines), step(*args, lines)


def _map_here(
    step: Callable[..., Any], args: tuple[Any, ...], chunks: Iterator[Chunk]
) -> Iterator[tuple[Chunk, int, Any]]:
    for chunk in chunks:
        try:
            lines, result = _run_step(step, args, chunk)
        except InputError:
            raise
        except Exception as error:
            raise _chunk_error(chunk, _describe(error)) from error
        yield chunk, lines, result


def _map_processes(
    step: Callable[..., Any], args: tuple[Any, ...], chunks: Iterator[Chunk], pool: "_WorkerPool"
) -> Iterator[tuple[Chunk, int, Any]]:
    """Each worker process counts one chunk at a time; results are held back until
    all earlier chunks are in, and no chunk is sent more than a small window ahead
    of the next one to merge."""

    def collect() -> Iterator[tuple[Chunk, int, Any]]:
        for chunk, (lines, result) in pool.receive():
            yield chunk, lines, result

    return _in_chunk_order(
        chunks,
        pool.size * CHUNKS_IN_FLIGHT_PER_WORKER,
        lambda chunk: pool.send(chunk, step, args),
        collect,
        ready=pool.has_room,
    )


def _in_chunk_order(
    chunks: Iterator[Chunk],
    window: int,
    submit: Callable[[Chunk], None],
    collect: Callable[[], Iterable[tuple[Chunk, int, Any]]],
    ready: Callable[[], bool] = lambda: True,
) -> Iterator[tuple[Chunk, int, Any]]:
    """Chunks handed to `submit` while `ready()` and fewer than `window` are in
    flight or waiting; what `collect()` brings back (some finished chunks, waiting
    for at least one) is yielded in chunk order."""
    in_flight = 0
    done: dict[int, tuple[Chunk, int, Any]] = {}
    next_to_yield = 0
    chunks_left = True
    while True:
        while chunks_left and ready() and in_flight + len(done) < window:
            chunk = next(chunks, None)
            if chunk is None:
                chunks_left = False
                break
            submit(chunk)
            in_flight += 1
        while next_to_yield in done:
            yield done.pop(next_to_yield)
            next_to_yield += 1
        if not in_flight:
            if not chunks_left:
                return
            continue
        for finished in collect():
            in_flight -= 1
            done[finished[0].index] = finished


class _WorkerPool:
    """Workers fed chunks over a pipe each, at most `QUEUED_PER_WORKER` at a time
    (the next one waits in the pipe while the current one is counted), so that a
    worker process that dies is known together with the chunk it was counting.
    The last slot is a thread of this process, the others are processes."""

    QUEUED_PER_WORKER = 2
    # A chunk queued behind a busy worker is written to its pipe only if this small
    # (a file chunk always is), so that the write never waits for the worker: a
    # larger one waits here until the worker is idle again.
    QUEUED_BYTES = 1 << 16

    def __init__(self, size: int):
        self.size = size
        self._workers: list[tuple[Any, Any]] = []  # (process, or None for the thread; connection)
        self._sent: dict[int, deque[Chunk]] = {}  # ready worker slot -> its chunks, oldest first
        self._starting: set[int] = set()  # processes not yet ready
        self._held: dict[int, bytes] = {}  # worker slot -> the next task, to send once it is idle
        self._thread: threading.Thread | None = None

    def start(self) -> None:
        # A process with no other thread is forked: its worker is ready at once.
        # Otherwise a fork could copy a lock another thread holds, and workers are
        # spawned: a fresh interpreter, ready in a few hundredths of a second. The
        # processes come first, so that none is forked with the counting thread or
        # a copy of its pipe (which would keep the pipe open when this process
        # closes it).
        fork = sys.platform == "linux" and threading.active_count() == 1
        context = get_context("fork") if fork else get_context("spawn")
        # Ctrl-C goes to the whole process group; the workers ignore it (a child
        # keeps an ignored signal) and this process stops them instead.
        with _sigint_ignored():
            for slot in range(self.size - 1):
                ours, theirs = context.Pipe()
                process = context.Process(target=_worker_main, args=(theirs,), daemon=True)
                process.start()
                theirs.close()
                self._workers.append((process, ours))
                self._starting.add(slot)
        # The thread counts at once; a process takes chunks once it says it is
        # ready, so that no chunk waits for an interpreter to start.
        ours, theirs = context.Pipe()
        self._thread = threading.Thread(target=_worker_main, args=(theirs, True), name="chunk counter", daemon=True)
        self._thread.start()
        self._workers.append((None, ours))
        self._sent[self.size - 1] = deque()

    def has_room(self) -> bool:
        return any(len(sent) < self.QUEUED_PER_WORKER for sent in self._sent.values())

    def send(self, chunk: Chunk, step: Callable[..., Any], args: tuple[Any, ...]) -> None:
        # The least loaded worker; of equals, a process before the thread.
        slot = min(self._sent, key=lambda s: (len(self._sent[s]), s))
        task = pickle.dumps((step, args, chunk), protocol=pickle.HIGHEST_PROTOCOL)
        self._sent[slot].append(chunk)
        if len(self._sent[slot]) > 1 and len(task) > self.QUEUED_BYTES:
            self._held[slot] = task
        else:
            self._write(slot, task)

    def _write(self, slot: int, task: bytes) -> None:
        _, conn = self._workers[slot]
        try:
            conn.send_bytes(task)
        except (BrokenPipeError, ConnectionResetError):
            raise _chunk_error(self._sent[slot][0], self._death_reason(slot)) from None

    def receive(self) -> Iterator[tuple[Chunk, Any]]:
        """Waits until at least one worker answers, or a starting one is ready;
        yields (chunk, result) for the chunks answered."""
        slots = [slot for slot, sent in self._sent.items() if sent] + sorted(self._starting)
        waitables: dict[Any, int] = {}
        for slot in slots:
            process, conn = self._workers[slot]
            waitables[conn] = slot
            if process is not None:
                waitables[process.sentinel] = slot
        ready = connection.wait(list(waitables))
        answered = sorted({waitables[item] for item in ready})
        for slot in answered:
            process, conn = self._workers[slot]
            status: str | None
            value: Any
            try:
                status, value = conn.recv() if conn.poll() else (None, None)
            except (EOFError, OSError):
                status, value = None, None
            if slot in self._starting:
                if status != "ready":
                    raise RuntimeError(f"a worker process failed to start: {self._death_reason(slot)}")
                self._starting.discard(slot)
                self._sent[slot] = deque()
                continue
            sent = self._sent[slot]
            if status is None:
                raise _chunk_error(sent[0], self._death_reason(slot))
            chunk = sent.popleft()
            held = self._held.pop(slot, None)
            if held is not None:
                self._write(slot, held)
            if status == "error":
                if isinstance(value[1], InputError):
                    raise value[1]
                raise _chunk_error(chunk, value[0]) from value[1]
            yield chunk, value

    def _death_reason(self, slot: int) -> str:
        process, _ = self._workers[slot]
        if process is None:
            return "its worker thread stopped"
        process.join(timeout=1.0)
        return f"its worker process died (exit code {process.exitcode})"

    def stop(self) -> None:
        # The thread ends when it next reads from its closed pipe; one stopped in
        # the middle of a chunk finishes that chunk first and drops the result.
        # It is waited for: a thread still running at interpreter exit may hold a
        # lock the exit needs.
        for process, conn in self._workers:
            conn.close()
            if process is not None and process.is_alive():
                process.terminate()
        for process, _ in self._workers:
            if process is None:
                continue
            process.join(timeout=2.0)
            if process.is_alive():
                process.kill()
                process.join()
        self._workers.clear()
        if self._thread is not None:
            self._thread.join()
            self._thread = None


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


def _worker_main(conn: Connection, in_thread: bool = False) -> None:
    """A worker: runs (step, args, chunk) tasks until the pipe closes."""
    if in_thread:
        try:
            _serve(conn)
        finally:
            conn.close()
        return
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        conn.send(("ready", None))
    except (BrokenPipeError, OSError):
        return
    _serve(conn)


def _serve(conn: Connection) -> None:
    while True:
        try:
            step, args, chunk = conn.recv()
        except (EOFError, OSError):
            return
        answer: tuple[str, tuple[int, Any] | tuple[str, Exception]]
        try:
            answer = ("ok", _run_step(step, args, chunk))
        except Exception as error:
            answer = ("error", (_describe(error), _picklable(error)))
        del chunk
        try:
            conn.send(answer)
        except (BrokenPipeError, OSError):
            return


def _chunk_error(chunk: Chunk, reason: str) -> ChunkError:
    return ChunkError(chunk.index, chunk.first_line, chunk.last_line, reason)


def _describe(error: BaseException) -> str:
    return f"{type(error).__name__}: {str(error) or repr(error)}"


def _picklable(error: Exception) -> Exception:
    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")


def _map_dask(
    client: Any, step: Callable[..., Any], args: tuple[Any, ...], chunks: Iterator[Chunk], workers: int
) -> Iterator[tuple[Chunk, int, Any]]:
    """The chunks as tasks of a Dask cluster, a bounded number submitted at a time."""
    from distributed import wait

    window = max(workers, len(client.scheduler_info().get("workers", {})) or 1) * CHUNKS_IN_FLIGHT_PER_WORKER
    pending: dict[Any, Chunk] = {}

    def submit(chunk: Chunk) -> None:
        pending[client.submit(_run_step, step, args, chunk, pure=False)] = chunk

    def collect() -> Iterator[tuple[Chunk, int, Any]]:
        for future in wait(list(pending), return_when="FIRST_COMPLETED").done:
            chunk = pending.pop(future)
            if future.status != "finished":
                error = _dask_failure(future)
                raise _chunk_error(chunk, _describe(error)) from error
            lines, result = future.result()
            yield chunk, lines, result

    try:
        yield from _in_chunk_order(chunks, window, submit, collect)
    finally:
        if pending:
            client.cancel(list(pending))


def _dask_failure(future: Any) -> BaseException:
    """What went wrong with a Dask task that did not finish."""
    try:
        error = future.exception()
    except BaseException as cancelled:  # a cancelled task has no exception to give
        return cancelled
    return error if error is not None else RuntimeError(f"task {future.status}")
