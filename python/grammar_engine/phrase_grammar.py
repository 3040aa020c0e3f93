"""Phrase grammars: a line is a chain of literal phrases under the start symbol.

A phrase grammar holds, for the start symbol S, one production per phrase:
S -> p1 ... pk S for a phrase that continues the line and S -> p1 ... pk for one
that ends it, with the phrase's characters as terminals. Every single character
of the grammar's character set has both forms, so every line over those
characters parses.

The engine reports, for each span and nonterminal, the first production in list
order that applies. Productions here are listed longest phrase first, so the
derivation the engine reports is the greedy longest match from the left: at each
position the longest phrase that fits (a continuing phrase must leave text
behind, an ending one must reach the end of the line). `Segmenter` reproduces
that derivation without the engine, and `DescriptionLength` computes from it
the same description length the engine charges, so a search can weigh many
grammars and ask the engine only to confirm.
"""

from __future__ import annotations

import math
from collections import Counter
from dataclasses import dataclass
from typing import Iterable, Sequence

START = "S"

# A phrase: its text, and whether it ends the line (no S after it).
Phrase = tuple[str, bool]


def phrase_key(phrase: Phrase) -> tuple[int, str, bool]:
    """List order: longest first; equal lengths by text, continuing before ending."""
    text, ending = phrase
    return (-len(text), text, ending)


def symbol_bits(terminal_count: int, nonterminal_count: int) -> float:
    """Bits the engine charges for one right-hand symbol of a production."""
    return math.log2(max(terminal_count + nonterminal_count + 1, 2))


def round_half_away(value: float, digits: int) -> float:
    """Rounding as the engine reports its metrics."""
    scale = 10.0**digits
    scaled = value * scale
    return math.floor(scaled + 0.5) / scale if scaled >= 0 else -math.floor(-scaled + 0.5) / scale


class Segmenter:
    """The engine's derivation of a line under a phrase grammar, reproduced.

    `characters` are the single characters that have both one-character
    productions; `phrases` the longer ones (texts of two or more characters).
    """

    def __init__(self, phrases: Iterable[Phrase], characters: Iterable[str]):
        listed = [(text, ending) for text, ending in phrases if len(text) >= 2]
        self.continuing = {text for text, ending in listed if not ending}
        self.ending = {text for text, ending in listed if ending}
        self.characters = frozenset(characters)
        # Phrase lengths by the first two characters, longest first: the only
        # lengths worth trying where those two characters stand.
        lengths: dict[str, set[int]] = {}
        for text, _ in listed:
            lengths.setdefault(text[:2], set()).add(len(text))
        self._lengths = {head: sorted(found, reverse=True) for head, found in lengths.items()}

    def segment(self, line: str) -> list[Phrase] | None:
        """The phrases of the reported derivation in order, or None when the
        line does not parse (it is empty or holds a character outside the set)."""
        if line == "" or not self.characters.issuperset(line):
            return None
        return self.pieces(line)

    def pieces(self, text: str, *, open_end: bool = False, without: Phrase | None = None) -> list[Phrase]:
        """Greedy longest-match pieces of `text`, whose characters are all in the
        set. With `open_end` the text stands inside a longer line, so every piece
        continues it; `without` leaves one phrase out of the grammar."""
        n = len(text)
        continuing, ending, lengths_at = self.continuing, self.ending, self._lengths
        none: list[int] = []
        pieces: list[Phrase] = []
        i = 0
        while i < n:
            left = n - i
            for length in lengths_at.get(text[i : i + 2], none):
                if length > left:
                    continue
                piece = text[i : i + length]
                if length < left or open_end:
                    if piece in continuing and (piece, False) != without:
                        pieces.append((piece, False))
                        i += length
                        break
                elif piece in ending and (piece, True) != without:
                    pieces.append((piece, True))
                    i += length
                    break
            else:
                pieces.append((text[i], left == 1 and not open_end))
                i += 1
        return pieces

    def usage(self, lines: Iterable[str], weights: Iterable[int] | None = None) -> "Usage":
        """Decisions per phrase over `lines`, with the text that failed."""
        counts: Counter[Phrase] = Counter()
        failed_bytes = 0
        failures = 0
        total_bytes = 0
        weight_of = iter(weights) if weights is not None else None
        for line in lines:
            weight = next(weight_of) if weight_of is not None else 1
            size = len(line.encode("utf-8"))
            total_bytes += size * weight
            pieces = self.segment(line)
            if pieces is None:
                failures += weight
                failed_bytes += size * weight
                continue
            if weight == 1:
                counts.update(pieces)
            else:
                for piece in pieces:
                    counts[piece] += weight
        return Usage(counts, failures, failed_bytes, total_bytes)


@dataclass
class Usage:
    counts: Counter[Phrase]
    failures: int
    failed_bytes: int
    total_bytes: int


def library_bits(phrases: Iterable[Phrase], bits_per_symbol: float) -> float:
    return sum((len(text) + (0 if ending else 1)) * bits_per_symbol + 2.0 for text, ending in phrases)


def decision_bits(counts: Iterable[int]) -> float:
    """Code length of decisions under their own relative frequencies."""
    values = [count for count in counts if count > 0]
    total = sum(values)
    if total == 0:
        return 0.0
    return total * math.log2(total) - sum(count * math.log2(count) for count in values)


def description_length(usage: Usage, library: float, terminal_count: int) -> float:
    """Bits per byte as the engine reports "bpc_with_lib" (inf for no text)."""
    if usage.total_bytes == 0:
        return math.inf
    spell = math.log2(max(terminal_count, 2))
    data = usage.failed_bytes * spell + decision_bits(usage.counts.values())
    return round_half_away((library + data) / usage.total_bytes, 4)


def productions_of(phrases: Sequence[Phrase]) -> list[tuple[str, list[str]]]:
    """The productions of a phrase grammar, in list order (longest first)."""
    productions = []
    for text, ending in sorted(phrases, key=phrase_key):
        rhs = list(text) if ending else [*text, START]
        productions.append((START, rhs))
    return productions
