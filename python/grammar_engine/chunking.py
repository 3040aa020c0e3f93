"""Corpora cut into chunks of lines: lists and iterables as they come, files by
byte ranges, and corpora that can be read several times.

A file is read with the rules of the command-line tool (strict UTF-8, "\\r\\n" or
"\\n" line endings, a leading byte-order mark dropped, blank lines skipped). Cut
by reference, a file's chunks are byte ranges found by scanning for line ends,
and whoever counts a chunk reads and decodes its bytes.
"""

from __future__ import annotations

import itertools
import os
import pickle
import tempfile
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import BinaryIO

from .errors import InputError
from .text_lines import open_binary

# Lines per chunk unless the caller says otherwise: large enough that the
# per-chunk costs (grammar preparation, transfer) vanish, small enough that
# Ctrl-C and the progress bar respond within a second or so.
DEFAULT_CHUNK_LINES = 10_000

Corpus = Iterable[str] | str | os.PathLike[str]


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
    return open_binary(path)


def _file_chunks(path: str, chunk_lines: int) -> Iterator[Chunk]:
    """Byte ranges of `chunk_lines` lines each, found by scanning for line ends."""
    block_size = 1 << 20
    index, first_line, start, offset = 0, 1, 0, 0
    need = chunk_lines
    last_byte = b""
    with _open_corpus_file(path) as stream:
        while block := stream.read(block_size):
            at = -1
            while True:
                at, need = _line_end(block, at, need)
                if at < 0:
                    break
                end = offset + at + 1
                yield Chunk(index, first_line, first_line + chunk_lines - 1, None, path, start, end)
                index, first_line, start = index + 1, first_line + chunk_lines, end
                need = chunk_lines
            offset += len(block)
            last_byte = block[-1:]
    if start < offset:
        # The line ends left over, and a final line without one.
        lines = chunk_lines - need + (last_byte != b"\n")
        yield Chunk(index, first_line, first_line + lines - 1, None, path, start, offset)
    elif offset == 0:
        raise InputError("empty corpus: no non-blank lines", path)


def _line_end(block: bytes, after: int, n: int) -> tuple[int, int]:
    """(position of the n-th b"\n" in `block` after position `after`, 0), or (-1,
    how many are still needed beyond the block). Counted a few kilobytes at a time,
    each byte once, then found one by one."""
    step = 4096
    position = after + 1
    while True:
        if position >= len(block):
            return -1, n
        stop = position + step
        found = block.count(b"\n", position, stop)
        if found >= n:
            break
        n -= found
        position = stop
    at = position - 1
    for _ in range(n):
        at = block.find(b"\n", at + 1)
    return at, 0


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
    if "\r" not in text:
        return list(filter(None, text.split("\n")))
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
        corpus = self._corpus
        # Paths and sequences are read again directly and never get here.
        assert not isinstance(corpus, (str, os.PathLike))
        self._spill = tempfile.TemporaryFile()
        source = iter(corpus)
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


def chunk_size(chunk_lines: int | None) -> int:
    """`chunk_lines` checked, or the default."""
    if chunk_lines is None:
        return DEFAULT_CHUNK_LINES
    if isinstance(chunk_lines, bool) or not isinstance(chunk_lines, int) or chunk_lines < 1:
        raise ValueError(f"chunk_lines must be a positive int, not {chunk_lines!r}")
    return chunk_lines
