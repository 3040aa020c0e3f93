"""Grammars and strings shared by every system in the side-by-side report.

Each grammar is given as natural productions over single-character terminals; every
system receives it converted into its own notation (see systems.py). The strings are
derived by the grammar and depend only on the seed.
"""

from __future__ import annotations

import random
from dataclasses import dataclass
from typing import Callable

LENGTHS = (8, 16, 32, 64, 128, 256, 512, 1024)
LONG_LENGTHS = (1000, 2000, 4000)


@dataclass(frozen=True)
class Grammar:
    name: str
    title: str
    productions: tuple[tuple[str, tuple[str, ...]], ...]
    terminals: frozenset[str]
    make_string: Callable[[random.Random, int], str]
    start: str = "S"

    def production_list(self) -> list[tuple[str, list[str]]]:
        return [(lhs, list(rhs)) for lhs, rhs in self.productions]

    def nonterminals(self) -> list[str]:
        """Left-hand sides in order of first appearance."""
        seen: list[str] = []
        for lhs, _ in self.productions:
            if lhs not in seen:
                seen.append(lhs)
        return seen

    def notation(self) -> str:
        """The grammar in the notation the report prints: S -> '(' S ')' | ..."""
        lines = []
        for lhs in self.nonterminals():
            bodies = [" ".join(f"'{x}'" if x in self.terminals else x for x in rhs)
                      for l, rhs in self.productions if l == lhs]
            lines.append(f"{lhs} -> " + " | ".join(bodies))
        return "; ".join(lines)


def dyck_word(rng: random.Random, length: int) -> str:
    """A balanced bracket string of `length` (even) characters, uniform among all of them.

    Cycle lemma: of the rotations of a shuffled sequence of m opening and m + 1
    closing brackets exactly one, the one starting after the lowest prefix sum,
    is a balanced word followed by one extra closing bracket.
    """
    m = length // 2
    sequence = ["("] * m + [")"] * (m + 1)
    rng.shuffle(sequence)
    height = lowest = 0
    cut = 0
    for position, c in enumerate(sequence):
        height += 1 if c == "(" else -1
        if height < lowest:
            lowest, cut = height, position + 1
    rotated = sequence[cut:] + sequence[:cut]
    return "".join(rotated[:-1])


def anbn_word(_rng: random.Random, length: int) -> str:
    return "a" * (length // 2) + "b" * (length // 2)


BRACKETS = Grammar(
    name="brackets",
    title="balanced brackets",
    productions=(("S", ("(", "S", ")")), ("S", ("(", ")")), ("S", ("S", "S"))),
    terminals=frozenset("()"),
    make_string=dyck_word,
)

ANBN = Grammar(
    name="anbn",
    title="a^n b^n",
    productions=(("S", ("a", "S", "b")), ("S", ("a", "b"))),
    terminals=frozenset("ab"),
    make_string=anbn_word,
)

GRAMMARS = (BRACKETS, ANBN)


def strings_for(grammar: Grammar, lengths: tuple[int, ...], seed: int) -> dict[int, str]:
    """One string per length, from a generator seeded by the seed and the grammar's name."""
    rng = random.Random(f"{seed}:{grammar.name}")
    return {n: grammar.make_string(rng, n) for n in lengths}
