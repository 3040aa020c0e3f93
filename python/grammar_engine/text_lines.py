"""Reading text files line by line as strict UTF-8, with locatable errors.

Lines end at "\\n"; a "\\r" before it (Windows line endings) is dropped, and so
is a byte-order mark at the very start of the file. The final line ending is
optional. Any other character, white space included, is kept.
"""

from __future__ import annotations

from typing import BinaryIO

from .errors import InputError


def open_binary(path: str) -> BinaryIO:
    """The file at `path` opened for reading bytes; `InputError` says why it cannot be."""
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


def read_lines(path: str) -> list[str]:
    """All lines of the file at `path`, decoded; `InputError` names file and line."""
    with open_binary(path) as stream:
        try:
            data = stream.read()
        except OSError as error:
            raise InputError(error.strerror or str(error), path) from None
    return decode_lines(data, path)


def decode_lines(data: bytes, path: str) -> list[str]:
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    raw_lines = data.split(b"\n")
    if raw_lines[-1] == b"":
        raw_lines.pop()
    lines = []
    for number, raw in enumerate(raw_lines, start=1):
        if raw.endswith(b"\r"):
            raw = raw[:-1]
        try:
            lines.append(raw.decode("utf-8"))
        except UnicodeDecodeError as error:
            bad = raw[error.start]
            raise InputError(
                f"not valid UTF-8 (byte 0x{bad:02x} at byte {error.start + 1})",
                path,
                number,
            ) from None
    return lines

