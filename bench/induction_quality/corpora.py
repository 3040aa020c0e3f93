"""The four corpora of the induction-quality benchmark, each as ordered lines.

Every corpus is split the same way: every fourth line (the 4th, 8th, ...) is held
out for testing, the others train. Lines holding a capital "S" are left out of all
of them, since the induction reserves that name for its start symbol.
"""

from __future__ import annotations

import ast
import random
import re
import sysconfig
from pathlib import Path

STDLIB = Path(sysconfig.get_paths()["stdlib"])
TEST_EVERY = 4


def split(lines: list[str]) -> tuple[list[str], list[str]]:
    """Every fourth line for testing, the others for training."""
    train = [line for index, line in enumerate(lines) if index % TEST_EVERY != TEST_EVERY - 1]
    test = [line for index, line in enumerate(lines) if index % TEST_EVERY == TEST_EVERY - 1]
    return train, test


def _usable(line: str) -> bool:
    return line.strip() != "" and "S" not in line


def _read(path: Path) -> list[str]:
    try:
        return path.read_text(encoding="utf-8").splitlines()
    except (UnicodeDecodeError, OSError):
        return []


def stdlib_source(limit: int) -> list[str]:
    """Lines of the standard library's .py files in sorted path order."""
    lines: list[str] = []
    for path in sorted(STDLIB.rglob("*.py")):
        if "site-packages" in path.parts:
            continue
        lines.extend(line for line in _read(path) if _usable(line))
        if len(lines) >= limit:
            break
    return lines[:limit]


_COMMENT = re.compile(r"#\s?(.*)$")


def _prose_line(text: str) -> str | None:
    text = text.strip().lower()
    return text if len(text.split()) >= 3 and text.isascii() and _usable(text) else None


def _sources() -> list[Path]:
    return [path for path in sorted(STDLIB.rglob("*.py")) if "site-packages" not in path.parts]


def english_prose(limit: int) -> list[str]:
    """The interpreter's LICENSE.txt, lower-cased; then the standard library's
    comment lines (the text after "#"), then its docstrings, lower-cased and
    of three words or more, until `limit` lines."""
    lines = [line.lower() for line in _read(STDLIB / "LICENSE.txt") if line.strip()]
    lines = [line for line in lines if _usable(line)]
    for path in _sources():
        if len(lines) >= limit:
            return lines[:limit]
        for line in _read(path):
            match = _COMMENT.search(line.strip())
            if line.strip().startswith("#") and match and (text := _prose_line(match.group(1))):
                lines.append(text)
    for path in _sources():
        if len(lines) >= limit:
            break
        try:
            tree = ast.parse("\n".join(_read(path)))
        except (SyntaxError, ValueError):
            continue
        for node in ast.walk(tree):
            if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                doc = ast.get_docstring(node)
                if doc:
                    lines.extend(text for line in doc.splitlines() if (text := _prose_line(line)))
    return lines[:limit]


def cjk_text(limit: int) -> list[str]:
    """The codec test samples in UTF-8 (Chinese, Japanese, Korean): all their
    lines, at most `limit`."""
    lines: list[str] = []
    for path in sorted((STDLIB / "test" / "cjkencodings").glob("*-utf8.txt")):
        lines.extend(line for line in _read(path) if _usable(line))
    return lines[:limit]


MOTIFS = ("GATTACA", "TATAAT", "CCGCGG", "AGGAGG", "TTGACA", "GCGCATGC")


def dna_like(limit: int, seed: int = 20261208) -> list[str]:
    """Random ACGT lines of 40 to 120 bases with the motifs above planted at
    random places (fixed seed)."""
    rng = random.Random(seed)
    lines = []
    for _ in range(limit):
        length = rng.randint(40, 120)
        parts: list[str] = []
        size = 0
        while size < length:
            if rng.random() < 0.3:
                piece = rng.choice(MOTIFS)
            else:
                piece = "".join(rng.choice("ACGT") for _ in range(rng.randint(1, 8)))
            parts.append(piece)
            size += len(piece)
        lines.append("".join(parts))
    return lines


CORPORA = {
    "prose": english_prose,
    "source": stdlib_source,
    "cjk": cjk_text,
    "dna": dna_like,
}
