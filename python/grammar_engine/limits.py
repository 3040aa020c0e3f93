"""What one parse will cost, estimated before it starts.

The parser keeps a bit chart of about n²/8 bytes for each wide nonterminal of
the converted grammar (one that derives two or more characters, that is, the
left-hand side of a two-symbol rule), n being the string's length in
characters, and refuses a chart larger than half of physical memory. Its time
grows at worst with n³ per wide nonterminal; the constant below is the worst
case measured on a 2-core machine (dense, deeply ambiguous text such as
"()()()..." against the balanced-brackets grammar: 9 s at 16,000 characters),
so most strings parse far faster than estimated.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Iterable, Sequence

# Worst-case seconds per wide nonterminal and per cubed character.
SECONDS_PER_CUBE = 1.1e-12
# Beyond this estimate a parse "would take hours".
SLOW_SECONDS = 3600.0


@dataclass(frozen=True)
class LineCost:
    """The estimated cost of parsing one string."""

    length: int  # characters
    wide: int  # wide nonterminals of the converted grammar
    chart_bytes: int
    seconds: float  # worst case
    memory_limit: int  # the largest chart the parser allocates (half of physical memory)

    @property
    def fits(self) -> bool:
        return self.chart_bytes <= self.memory_limit

    @property
    def slow(self) -> bool:
        return self.seconds > SLOW_SECONDS

    def problem(self) -> str | None:
        """Why the string should not be parsed without being forced, or None."""
        if not self.fits:
            return (
                f"a string of {self.length:,} characters needs a chart of about "
                f"{_size(self.chart_bytes)} ({self.wide} wide nonterminal"
                f"{'' if self.wide == 1 else 's'}), more than the "
                f"{_size(self.memory_limit)} the parser may use on this machine"
            )
        if self.slow:
            return (
                f"a string of {self.length:,} characters may take up to about "
                f"{self.seconds / 3600:.1f} hours to parse ({self.wide} wide nonterminal"
                f"{'' if self.wide == 1 else 's'}, chart about {_size(self.chart_bytes)})"
            )
        return None


def line_cost(length: int, wide: int) -> LineCost:
    """The estimated cost of parsing `length` characters with `wide` wide nonterminals."""
    chart = wide * length * length // 8
    return LineCost(
        length=length,
        wide=wide,
        chart_bytes=chart,
        seconds=wide * float(length) ** 3 * SECONDS_PER_CUBE,
        memory_limit=physical_memory() // 2,
    )


def wide_nonterminals(cnf_rules: Iterable[Sequence[object]]) -> int:
    """The number of distinct left-hand sides of two-symbol rules."""
    return len({rule[0] for rule in cnf_rules if len(rule[1]) == 2})  # type: ignore[arg-type]


def induction_wide(train: Sequence[str]) -> int:
    """The most wide nonterminals an induction candidate can have, for `train`.

    Besides S, every three-symbol rule of a candidate brings a chain nonterminal:
    "chain" has at most six such rules, "wrap" one per (first, last) character
    pair that begins and ends at least three training lines.
    """
    pairs: dict[tuple[str, str], int] = {}
    for line in train:
        if len(line) >= 2:
            key = (line[0], line[-1])
            pairs[key] = pairs.get(key, 0) + 1
    wrap = sum(1 for count in pairs.values() if count >= 3)
    return 1 + max(6, wrap)


def physical_memory() -> int:
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return 1 << 34  # 16 GiB when the system cannot say


def _size(size: int) -> str:
    for unit, factor in (("TB", 1e12), ("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if size >= factor:
            return f"{size / factor:.1f} {unit}"
    return f"{size} bytes"
