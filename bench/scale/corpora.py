"""Real corpora from the machine: lines of the standard library's source, and English prose.

Both depend only on the interpreter's installation (and, for prose, on the
licence texts the system ships), read in sorted path order.
"""

from __future__ import annotations

import ast
import sys
import sysconfig
import warnings
from pathlib import Path

LICENCE_DIR = Path("/usr/share/common-licenses")
PACKAGE_DOC_DIR = Path("/usr/share/doc")  # each package's copyright file: mostly licence prose


def stdlib_dir() -> Path:
    return Path(sysconfig.get_paths()["stdlib"])


def stdlib_files(*, tests: bool = True) -> list[Path]:
    """The standard library's .py files in sorted path order, third-party packages left out
    (and the test suites, unless `tests`)."""
    root = stdlib_dir()
    left_out = {"site-packages"} | (set() if tests else {"test", "tests", "idle_test"})
    return sorted(p for p in root.rglob("*.py") if not left_out & set(p.relative_to(root).parts))


def read_text(path: Path) -> str | None:
    try:
        return path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError):
        return None


def source_lines(limit: int) -> list[str]:
    """Non-blank lines of the standard library's source, lines holding a capital S left out
    (as a terminal it would shadow the induced grammar's nonterminal S)."""
    out: list[str] = []
    for path in stdlib_files():
        text = read_text(path)
        if text is None:
            continue
        out += [line for line in text.splitlines() if line.strip() and "S" not in line]
        if len(out) >= limit:
            break
    return out[:limit]


def prose_lines(text: str) -> list[str]:
    return [line.strip().lower() for line in text.splitlines() if line.strip()]


def docstrings(path: Path) -> list[str]:
    text = read_text(path)
    if text is None:
        return []
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            tree = ast.parse(text)
    except (SyntaxError, ValueError):
        return []
    out = []
    for node in ast.walk(tree):
        if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
            doc = ast.get_docstring(node)
            if doc:
                out.append(doc)
    return out


def licence_texts() -> list[Path]:
    """The system's licence texts, then its packages' copyright files, each file once."""
    paths = sorted(LICENCE_DIR.iterdir()) if LICENCE_DIR.is_dir() else []
    if PACKAGE_DOC_DIR.is_dir():
        paths += sorted(PACKAGE_DOC_DIR.glob("*/copyright"))
    seen: set[Path] = set()
    out = []
    for path in paths:
        real = path.resolve()
        if real not in seen and real.is_file():
            seen.add(real)
            out.append(real)
    return out


def english_lines(limit: int) -> list[str]:
    """Lower-cased, stripped, non-blank lines of English prose: the licence shipped with
    Python, the interpreter's help topics, the standard library's docstrings (test
    suites left out), then the system's licence and copyright texts, up to `limit`."""
    version = f"python{sys.version_info.major}.{sys.version_info.minor}"
    out = prose_lines(read_text(Path(sys.base_prefix) / "lib" / version / "LICENSE.txt") or "")
    try:
        from pydoc_data.topics import topics
    except ImportError:
        topics = {}
    for key in sorted(topics):
        out += prose_lines(topics[key])
    for path in stdlib_files(tests=False):
        if len(out) >= limit:
            break
        for doc in docstrings(path):
            out += prose_lines(doc)
    for path in licence_texts():
        if len(out) >= limit:
            break
        out += prose_lines(read_text(path) or "")
    return out[:limit]


def split(lines: list[str]) -> tuple[list[str], list[str]]:
    """Every fourth line (the 4th, 8th, ...) for testing, the rest for training."""
    return [s for i, s in enumerate(lines) if i % 4 != 3], [s for i, s in enumerate(lines) if i % 4 == 3]


def alphabet_of(*corpora: list[str]) -> list[str]:
    return sorted({c for corpus in corpora for s in corpus for c in s})


CORPORA = {"source": source_lines, "english": english_lines}
