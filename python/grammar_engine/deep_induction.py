"""Deep induction: grammars of many phrases, kept only where they shorten the
description of the held-out lines.

The engine's own induction builds two small grammars over the start symbol; its
best one is the starting point and the result to beat. The search then finds the
repeated structure of the training lines by merging frequent pairs of symbols
into phrases, round after round (characters first, then phrases made of earlier
phrases; `pair_merging`), and writes the phrases as productions of a phrase
grammar (`phrase_grammar`): each line a chain of phrases, each phrase one
decision. Pruning steps then drop phrases that cost more to write down than they
save; a step is kept only when it lowers the score on the held-out lines.

The engine charges every node of a derivation one decision from a single
frequency table, so a phrase written with its characters inline costs one
decision per use, while a phrase that refers to a nonterminal costs one more per
use. Phrases are therefore written flat; the merge hierarchy is how they are
found. Candidate grammars are weighed with the engine's own description length,
computed from the derivation the engine would report (`Segmenter`), and the
grammar returned is scored by `_engine.grammar_bpc` itself.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from itertools import chain
from typing import Callable, Sequence

import _engine

from .pair_merging import distinct_lines, merge_pairs
from .phrase_grammar import (
    START,
    Phrase,
    Segmenter,
    description_length,
    library_bits,
    productions_of,
    symbol_bits,
)

Progress = Callable[[int, "int | None", str], None]

# Bounds on the characters of all phrases together. Each character of a phrase
# becomes one wide rule of the engine's binarised grammar, and the engine's time
# and chart memory per line grow with those rules. The time of a line of n
# characters goes as n * ceil(n / 64) per rule, so the budget shrinks as the
# held-out text grows: phrase characters times that work summed over the
# held-out lines stay below PARSE_WORK, which keeps the final scoring call to
# about a minute here. The chart of the longest line, n * n / 8 bytes per wide
# rule, stays below CHART_BYTES whatever the time bound allows.
MAX_PHRASE_CHARS = 12_000
MIN_PHRASE_CHARS = 3_000
PARSE_WORK = 4_000_000_000
CHART_BYTES = 1 << 30
# Merging may make phrases of this many times the budget; pruning and then the
# least worth phrases' removal bring them within it.
MERGE_HEADROOM = 3
# Merging passes after the first, each starting from the derivation so far.
REFINEMENTS = 2
# Pruning passes over the training lines at most.
MAX_PRUNE_PASSES = 6
# Halvings of a rejected removal before a pruning pass gives up.
MAX_HALVINGS = 4


@dataclass(frozen=True)
class DeepResult:
    productions: list[tuple[str, list[str]]]
    terminals: list[str]
    start: str
    bpc: float
    metrics: dict[str, float] = field(default_factory=dict)
    steps: int = 0


def induce_deep(
    train: Sequence[str],
    test: Sequence[str],
    alphabet: Sequence[str],
    *,
    progress: Progress | None = None,
) -> DeepResult:
    """Induce a phrase grammar from `train`, scored on `test`, over `alphabet`.

    Never worse than `_engine.induce_full` on the same arguments: when no phrase
    grammar beats the engine's candidate, that candidate is returned. The result's
    `bpc` and `metrics` are `_engine.grammar_bpc` of its productions on `test`.
    Precondition: no alphabet entry is the start symbol "S".
    """
    train = list(train)
    test = list(test)
    alphabet = list(alphabet)
    if START in alphabet:
        raise ValueError(f"alphabet entry {START!r} is the start symbol; map it to another character first")
    report: Progress = progress if progress is not None else (lambda done, total, what: None)
    terminals = set(alphabet)

    report(0, None, "engine candidate")
    base = _engine.induce_full(train, test, alphabet)
    base_productions = [(lhs, list(rhs)) for lhs, rhs in base["productions"]]
    best = _Scored(base_productions, base["bpc"], steps=0)

    search = _PhraseSearch(train, test, alphabet, report)
    found = search.run()
    if found is not None:
        productions = productions_of(found.phrases + search.base_phrases)
        report(0, None, "exact score")
        try:
            metrics = _engine.grammar_bpc(productions, test, terminals, START)
        except MemoryError:
            # The engine refuses a chart it cannot hold; the budget should have
            # prevented that, and the engine's candidate was parsed already.
            metrics = {"bpc_with_lib": math.inf}
        if metrics["bpc_with_lib"] < best.bpc:
            best = _Scored(productions, metrics["bpc_with_lib"], steps=found.steps, metrics=metrics)
    if best.metrics is None:
        best.metrics = _engine.grammar_bpc(best.productions, test, terminals, START)
    return DeepResult(
        productions=best.productions,
        terminals=alphabet,
        start=START,
        bpc=best.metrics["bpc_with_lib"],
        metrics=dict(best.metrics),
        steps=best.steps,
    )


@dataclass
class _Scored:
    productions: list[tuple[str, list[str]]]
    bpc: float
    steps: int
    metrics: dict[str, float] | None = None


@dataclass
class _Found:
    phrases: list[Phrase]
    estimate: float
    steps: int


class _PhraseSearch:
    """Merging, then pruning by the held-out score, over one corpus."""

    def __init__(self, train: list[str], test: list[str], alphabet: list[str], report: Progress):
        self.report = report
        self.terminal_count = len(set(alphabet))
        seen = set(chain.from_iterable(train)) | set(chain.from_iterable(test))
        # Characters that get both one-character productions: the one-character
        # alphabet entries that occur at all, in alphabet order.
        self.characters = [entry for entry in dict.fromkeys(alphabet) if len(entry) == 1 and entry in seen]
        self.character_set = frozenset(self.characters)
        self.base_phrases: list[Phrase] = [(char, ending) for char in self.characters for ending in (False, True)]
        self.bits = symbol_bits(self.terminal_count, 1)
        self.train = distinct_lines(line for line in train if line and self.character_set.issuperset(line))
        self.test = distinct_lines(test)
        self.test_lengths = [len(line) for line in test]
        self.train_bytes = sum(len(line.encode("utf-8")) * weight for line, weight in self.train.items())
        self.test_bytes = sum(len(line.encode("utf-8")) * weight for line, weight in self.test.items())

    def score(self, phrases: list[Phrase]) -> float:
        """The engine's "bpc_with_lib" for these phrases on the held-out lines."""
        segmenter = Segmenter(phrases, self.characters)
        usage = segmenter.usage(self.test.keys(), self.test.values())
        library = library_bits(chain(phrases, self.base_phrases), self.bits)
        return description_length(usage, library, self.terminal_count)

    def run(self) -> _Found | None:
        if not self.characters or self.test_bytes == 0:
            return None
        steps = 0
        phrases: list[Phrase] = []
        estimate = self.score(phrases)
        if self.train_bytes == 0:
            return _Found(phrases, estimate, steps)
        budget = phrase_budget(self.test_lengths)
        for refinement in range(REFINEMENTS + 1):
            # The first pass merges from characters; later ones from the
            # derivation of the grammar so far, so that merging sees the lines as
            # the parser cuts them.
            start = None if refinement == 0 else Segmenter(phrases, self.characters).pieces
            self.report(refinement, REFINEMENTS + 1, "merging pairs")
            merged = merge_pairs(
                self.train,
                scale=self.test_bytes / self.train_bytes,
                bits_per_symbol=self.bits,
                max_phrase_chars=MERGE_HEADROOM * budget,
                start=start,
                progress=lambda rounds, made: self.report(rounds, None, f"merging pairs: {made} phrases"),
            )
            used = sorted((phrase for phrase, uses in merged.uses.items() if uses > 0), key=_order)
            candidate, _, pruned = self._prune(used, self.score(used))
            candidate = self._fit_budget(candidate, budget)
            candidate_score = self.score(candidate)
            if candidate_score >= estimate:
                break
            added = len(set(candidate) - set(phrases))
            phrases, estimate = candidate, candidate_score
            steps += added + pruned
        return _Found(phrases, estimate, steps)

    def _prune(self, phrases: list[Phrase], estimate: float) -> tuple[list[Phrase], float, int]:
        """Drop phrases whose production costs more than they save on the
        training lines (scaled to the held-out text); keep a removal only when
        the held-out score falls. Returns the phrases, their score, steps kept."""
        scale = self.test_bytes / self.train_bytes
        steps = 0
        for passes in range(1, MAX_PRUNE_PASSES + 1):
            self.report(passes, MAX_PRUNE_PASSES, f"pruning {len(phrases)} phrases")
            losers = self._losing_phrases(phrases, scale)
            if not losers:
                break
            accepted = False
            for _ in range(MAX_HALVINGS):
                dropped = set(losers)
                kept = [phrase for phrase in phrases if phrase not in dropped]
                score = self.score(kept)
                if score < estimate:
                    phrases, estimate, accepted = kept, score, True
                    steps += 1
                    break
                losers = losers[: len(losers) // 2]
                if not losers:
                    break
            if not accepted:
                break
        return phrases, estimate, steps

    def _losing_phrases(self, phrases: list[Phrase], scale: float) -> list[Phrase]:
        """Phrases whose estimated worth is negative, worst first."""
        return [phrase for value, phrase in self._worth(phrases, scale) if value < 0]

    def _fit_budget(self, phrases: list[Phrase], budget: int) -> list[Phrase]:
        """The phrases without the least worth ones, until they hold at most
        `budget` characters together."""
        excess = sum(len(text) for text, _ in phrases) - budget
        if excess <= 0:
            return phrases
        dropped: set[Phrase] = set()
        for _, phrase in self._worth(phrases, self.test_bytes / self.train_bytes):
            if excess <= 0:
                break
            dropped.add(phrase)
            excess -= len(phrase[0])
        return [phrase for phrase in phrases if phrase not in dropped]

    def _worth(self, phrases: list[Phrase], scale: float) -> list[tuple[float, Phrase]]:
        """Each phrase with the bits it is estimated to save on the held-out
        text (from its use on the training lines, scaled) less what its
        production costs, least first."""
        segmenter = Segmenter(phrases, self.characters)
        counts = segmenter.usage(self.train.keys(), self.train.values()).counts
        total = sum(counts.values())
        log_total = math.log2(max(total, 1))

        def cost(phrase: Phrase) -> float:
            return log_total - math.log2(max(counts.get(phrase, 0), 1))

        worth: list[tuple[float, Phrase]] = []
        for phrase in phrases:
            text, ending = phrase
            library = (len(text) + (0 if ending else 1)) * self.bits + 2.0
            uses = counts.get(phrase, 0)
            if uses == 0:
                worth.append((-library, phrase))
                continue
            instead = segmenter.pieces(text, open_end=not ending, without=phrase)
            saved = uses * (sum(cost(piece) for piece in instead) - cost(phrase))
            worth.append((scale * saved - library, phrase))
        worth.sort(key=lambda item: (item[0], _order(item[1])))
        return worth


def phrase_budget(lengths: Sequence[int]) -> int:
    """Characters all phrases may hold together, for held-out lines of these
    lengths (in characters)."""
    work = sum(n * -(-n // 64) for n in lengths)
    by_time = max(MIN_PHRASE_CHARS, min(MAX_PHRASE_CHARS, PARSE_WORK // max(work, 1)))
    longest = max(lengths, default=0)
    by_memory = CHART_BYTES * 8 // max(longest * longest, 1)
    return min(by_time, by_memory)


def _order(phrase: Phrase) -> tuple[int, str, bool]:
    text, ending = phrase
    return (-len(text), text, ending)
