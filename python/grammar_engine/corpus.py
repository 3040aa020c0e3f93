"""Corpus files (one string per line) and the default corpus.

Blank lines are skipped: they would only count as strings that never parse.
Every other line is one string, white space included.

The default corpus, data/brackets.txt, holds every balanced string of round and
square brackets of two to eight characters (274 lines), shortest first and in
code-point order within one length. `generate_default_corpus` makes it; run
`python -m grammar_engine.corpus` to print it again. The induction should find
the grammar that generates exactly these strings: S -> '(' S ')' | '(' ')' |
'[' S ']' | '[' ']' | S S.
"""

from __future__ import annotations

from importlib import resources
from typing import Sequence

from .errors import InputError
from .text_lines import decode_lines, read_lines

DEFAULT_CORPUS_NAME = "default corpus (balanced brackets)"
DEFAULT_CORPUS_RESOURCE = "data/brackets.txt"


def read_corpus(path: str) -> list[str]:
    """The non-blank lines of the file; an empty corpus is an `InputError`."""
    return _non_blank(read_lines(path), path)


def default_corpus() -> list[str]:
    data = resources.files(__package__).joinpath(DEFAULT_CORPUS_RESOURCE).read_bytes()
    return _non_blank(decode_lines(data, DEFAULT_CORPUS_RESOURCE), DEFAULT_CORPUS_RESOURCE)


def alphabet_of(lines: Sequence[str]) -> list[str]:
    """The characters of `lines`, each once, in the order they first occur."""
    # One string walked in C, rather than a generator over every character.
    return list(dict.fromkeys("".join(lines)))


def generate_default_corpus(max_length: int = 8) -> list[str]:
    """Every balanced bracket string over () and [] of 2 to `max_length` characters."""
    by_pairs: list[list[str]] = [[""]]
    for pairs in range(1, max_length // 2 + 1):
        words = []
        # A balanced word is an enclosed balanced word followed by a balanced word.
        for inner in range(pairs):
            for enclosed in by_pairs[inner]:
                for rest in by_pairs[pairs - 1 - inner]:
                    for opening, closing in ("()", "[]"):
                        words.append(opening + enclosed + closing + rest)
        by_pairs.append(sorted(words))
    return [word for words in by_pairs[1:] for word in words]


def _non_blank(lines: list[str], path: str) -> list[str]:
    kept = [line for line in lines if line != ""]
    if not kept:
        raise InputError("empty corpus: no non-blank lines", path)
    return kept


if __name__ == "__main__":
    print("\n".join(generate_default_corpus()))
