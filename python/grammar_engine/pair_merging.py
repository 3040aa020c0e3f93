"""Phrase discovery by repeated pair merging over the training lines.

Each training line starts as a sequence of symbols, one per character, its last
character marked as ending the line. A round counts every adjacent pair of
symbols and gives the pairs that shorten the description most a symbol of their
own, replacing their occurrences; a merged symbol is the concatenation of its
two parts, so symbols grow into a hierarchy of phrases built from earlier ones.
Rounds repeat until no pair pays for itself.

A pair pays when the decisions it saves outweigh what its production costs to
write down. Decisions are priced as the engine prices them, by one frequency
table over everything used: replacing n occurrences of (a, b) by one new symbol
changes that table's code length exactly as computed by `_merge_gain`. The
saving on the training lines is scaled to the size of the held-out text, since
that is where the grammar is charged; the production is charged once.

Several pairs are merged per round (never two that could overlap at one place),
which keeps the number of passes over the corpus small. Ties are broken by the
symbols' ids, which follow first occurrence, so the outcome is deterministic.
"""

from __future__ import annotations

import math
from collections import Counter
from dataclasses import dataclass
from itertools import chain
from typing import Callable, Iterable

from .phrase_grammar import Phrase

# Pairs merged in one round: at least this many, and a quarter of the phrases
# made so far, so the number of rounds grows slowly with the vocabulary.
_MIN_BATCH = 32
_BATCH_SHARE = 4
_MAX_ROUNDS = 60


@dataclass
class Merged:
    """Phrases made by merging, in the order they were made, with how often
    each stands at the top level of the merged training lines (weighted)."""

    phrases: list[Phrase]
    uses: dict[Phrase, int]
    rounds: int


def _xlogx(value: float) -> float:
    return value * math.log2(value) if value > 0 else 0.0


def _merge_gain(n: int, count_a: int, count_b: int, same: bool, total: int) -> float:
    """Bits the decision table's code length falls by when n pairs of symbols
    counted count_a and count_b become n uses of one new symbol."""
    before = _xlogx(total) - _xlogx(count_a) - (0.0 if same else _xlogx(count_b))
    after_total = total - n
    if same:
        n = min(n, count_a // 2)
        after_total = total - n
        after = _xlogx(after_total) - _xlogx(count_a - 2 * n) - _xlogx(n)
    else:
        after = _xlogx(after_total) - _xlogx(count_a - n) - _xlogx(count_b - n) - _xlogx(n)
    return before - after


class _Symbols:
    """Phrase <-> id, ids in order of first appearance."""

    def __init__(self) -> None:
        self.phrases: list[Phrase] = []
        self.ids: dict[Phrase, int] = {}

    def id_of(self, phrase: Phrase) -> int:
        found = self.ids.get(phrase)
        if found is None:
            found = len(self.phrases)
            self.ids[phrase] = found
            self.phrases.append(phrase)
        return found


def merge_pairs(
    lines: dict[str, int],
    *,
    scale: float,
    bits_per_symbol: float,
    max_phrase_chars: int,
    start: Callable[[str], list[Phrase]] | None = None,
    progress: Callable[[int, int], None] | None = None,
) -> Merged:
    """Merge pairs over `lines` (distinct line -> how often it occurs).

    `scale` is held-out bytes per training byte; `bits_per_symbol` what one
    right-hand symbol costs; merging stops once the phrases in use hold
    `max_phrase_chars` characters in all (a bound on the grammar's size).
    Lines start as characters, or as the phrases `start` cuts them into.
    """
    symbols = _Symbols()
    sequences: list[list[int]] = []
    weights: list[int] = []
    for line, weight in lines.items():
        if len(line) < 2:
            continue
        if start is None:
            pieces = [(char, False) for char in line[:-1]] + [(line[-1], True)]
        else:
            pieces = start(line)
        sequences.append([symbols.id_of(piece) for piece in pieces])
        weights.append(weight)

    made: list[Phrase] = [phrase for phrase in symbols.phrases if len(phrase[0]) >= 2]
    rounds = 0
    while rounds < _MAX_ROUNDS:
        unigrams, pairs = _count(sequences, weights)
        # The budget counts the phrases still in use; those merged into longer
        # ones and used nowhere else will not be productions.
        live_chars = sum(len(symbols.phrases[sid][0]) for sid in unigrams if len(symbols.phrases[sid][0]) >= 2)
        if live_chars >= max_phrase_chars:
            break
        rounds += 1
        total = sum(unigrams.values())
        scored: list[tuple[float, int, int, Phrase]] = []
        for (a, b), n in pairs.items():
            if n < 2:
                continue
            text_a, _ = symbols.phrases[a]
            text_b, ending = symbols.phrases[b]
            phrase = (text_a + text_b, ending)
            if phrase in symbols.ids and symbols.ids[phrase] in unigrams:
                # Already a live symbol: merging still pays, but charge no new rule.
                cost = 0.0
            else:
                cost = (len(phrase[0]) + (0 if ending else 1)) * bits_per_symbol + 2.0
            gain = scale * _merge_gain(n, unigrams[a], unigrams[b], a == b, total) - cost
            if gain > 0:
                scored.append((-gain, a, b, phrase))
        if not scored:
            break
        scored.sort(key=lambda item: (item[0], item[1], item[2]))
        batch = max(_MIN_BATCH, len(made) // _BATCH_SHARE)
        lefts: set[int] = set()
        rights: set[int] = set()
        merges: dict[tuple[int, int], int] = {}
        for _, a, b, phrase in scored:
            if len(merges) >= batch or live_chars >= max_phrase_chars:
                break
            if a in rights or b in lefts:
                continue
            new = phrase not in symbols.ids
            merged_id = symbols.id_of(phrase)
            merges[(a, b)] = merged_id
            lefts.add(a)
            rights.add(b)
            if new:
                made.append(phrase)
            if merged_id not in unigrams:
                live_chars += len(phrase[0])
        if not merges:
            break
        by_left: dict[int, dict[int, int]] = {}
        for (a, b), merged_id in merges.items():
            by_left.setdefault(a, {})[b] = merged_id
        sequences = [_replace(sequence, by_left) for sequence in sequences]
        if progress is not None:
            progress(rounds, len(made))

    unigrams, _ = _count(sequences, weights, pairs_too=False)
    uses = {symbols.phrases[sid]: count for sid, count in unigrams.items() if len(symbols.phrases[sid][0]) >= 2}
    return Merged(made, uses, rounds)


def _count(
    sequences: list[list[int]], weights: list[int], *, pairs_too: bool = True
) -> tuple[Counter[int], Counter[tuple[int, int]]]:
    unigrams: Counter[int] = Counter()
    pairs: Counter[tuple[int, int]] = Counter()
    single = [sequence for sequence, weight in zip(sequences, weights) if weight == 1]
    unigrams.update(chain.from_iterable(single))
    if pairs_too:
        pairs.update(chain.from_iterable(zip(sequence, sequence[1:]) for sequence in single))
    for sequence, weight in zip(sequences, weights):
        if weight == 1:
            continue
        for symbol in sequence:
            unigrams[symbol] += weight
        if pairs_too:
            for pair in zip(sequence, sequence[1:]):
                pairs[pair] += weight
    return unigrams, pairs


def _replace(sequence: list[int], by_left: dict[int, dict[int, int]]) -> list[int]:
    out: list[int] = []
    i = 0
    last = len(sequence) - 1
    get = by_left.get
    while i < last:
        rights = get(sequence[i])
        merged = rights.get(sequence[i + 1]) if rights is not None else None
        if merged is None:
            out.append(sequence[i])
            i += 1
        else:
            out.append(merged)
            i += 2
    if i == last:
        out.append(sequence[last])
    return out


def distinct_lines(lines: Iterable[str]) -> dict[str, int]:
    """Each distinct line with how often it occurs, in order of first occurrence."""
    return dict(Counter(lines))
