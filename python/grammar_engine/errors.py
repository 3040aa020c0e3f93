"""The error and warning types of the toolkit.

Every problem with the user's input (a missing file, a line that is not UTF-8,
a malformed production, an empty corpus) is raised as an `InputError`, a
`ValueError` that names the file and, when known, the line; the command-line
entry point prints it as a single line, so no traceback ever reaches the user
for bad input. Results that are valid but may not mean what the user expects
(no line parses, a production that can never apply, ...) are reported as
`GrammarEngineWarning`s through Python's `warnings` module, and also kept on
the result objects.
"""

from __future__ import annotations


class InputError(ValueError):
    """A problem with the user's input, located by file and, when known, line."""

    def __init__(self, message: str, path: str | None = None, line: int | None = None):
        super().__init__(message)
        self.message = message
        self.path = path
        self.line = line

    def __reduce__(self) -> tuple[type[InputError], tuple[str, str | None, int | None]]:
        # Keeps file and line when the error crosses into another process.
        return (type(self), (self.message, self.path, self.line))

    def __str__(self) -> str:
        where = ""
        if self.path is not None:
            where = self.path if self.line is None else f"{self.path}:{self.line}"
            where += ": "
        return where + self.message


class ChunkError(RuntimeError):
    """A chunk of a corpus could not be counted: its worker raised or died.

    Raised by the chunked path (see `sharding`) instead of any result."""

    def __init__(self, index: int, first_line: int, last_line: int, reason: str):
        super().__init__(f"chunk {index} (lines {first_line}-{last_line}) failed: {reason}")
        self.index = index
        self.first_line = first_line
        self.last_line = last_line
        self.reason = reason

    def __reduce__(self) -> tuple[type[ChunkError], tuple[int, int, int, str]]:
        return (type(self), (self.index, self.first_line, self.last_line, self.reason))


class GrammarEngineWarning(UserWarning):
    """A result that is valid but may not mean what it seems to."""
