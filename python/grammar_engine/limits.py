"""What one parse will cost, estimated before it starts.

A parse takes two kinds of memory. Its per-call tables (a few bit rows per
symbol of the converted grammar, and a few words per character) are taken
whatever the string: the parser refuses them up front when they pass half of
physical memory. Its chart rows are stored only where a symbol derives
something, so they grow with what the string makes derivable: little for a
low-ambiguity grammar on the text it was written for, about n²/8 bytes per
wide nonterminal (one deriving two or more characters) when every span is
derivable. The parser raises MemoryError when the stored rows pass half of
physical memory during the fill. The worst-case figures below assume every
span is derivable, a bound rarely approached; the estimate itself comes from
the parser's own reading of the grammar and looks at nothing but the length.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, Iterable, Sequence

# Beyond this worst case a parse "may take hours".
SLOW_SECONDS = 3600.0


@dataclass(frozen=True)
class LineCost:
    """The estimated cost of parsing one string.

    `chart_bytes` and `seconds` are the worst case (every span derivable), of
    which `table_bytes` is taken for sure; real parses usually cost far less.
    """

    length: int  # characters
    wide: int  # wide nonterminals of the converted grammar
    chart_bytes: int  # worst case: tables plus every row stored
    seconds: float  # worst case
    memory_limit: int  # what the parser may hold for one string (half of physical memory)
    table_bytes: int = 0  # taken whatever the string

    @property
    def row_bytes(self) -> int:
        """The chart rows in the worst case."""
        return max(0, self.chart_bytes - self.table_bytes)

    @property
    def fits(self) -> bool:
        """Whether the memory taken for sure can be held."""
        return self.table_bytes <= self.memory_limit

    @property
    def may_exhaust(self) -> bool:
        """Whether the worst case passes what the parser may hold."""
        return self.chart_bytes > self.memory_limit

    @property
    def slow(self) -> bool:
        return self.seconds > SLOW_SECONDS

    @property
    def hopeless(self) -> bool:
        """Whether the worst case is both beyond memory and beyond an hour."""
        return self.may_exhaust and self.slow

    def problem(self) -> str | None:
        """Why the string should not be parsed without being forced, or None."""
        what = f"a string of {self.length:,} characters"
        if not self.fits:
            return (
                f"{what} needs tables of about {_size(self.table_bytes)} before any parsing, "
                f"more than the {_size(self.memory_limit)} the parser may use on this machine"
            )
        if self.hopeless:
            return (
                f"{what} takes {_size(self.table_bytes)} for sure, but may take up to about "
                f"{_size(self.chart_bytes)} and {_hours(self.seconds)} to parse if most of its spans "
                f"are derivable, more than the {_size(self.memory_limit)} the parser may use on this "
                f"machine ({self.wide} wide nonterminal{'' if self.wide == 1 else 's'})"
            )
        return None

    def note(self) -> str | None:
        """What to say before a string that may be costly but is parsed, or None."""
        if self.problem() is not None or not (self.slow or self.may_exhaust):
            return None
        return (
            f"a string of {self.length:,} characters takes {_size(self.table_bytes)} for sure, and up to "
            f"about {_size(self.chart_bytes)} and {_hours(self.seconds)} to parse if most of its spans "
            f"are derivable (usually far less)"
        )


def line_cost(
    length: int, cnf_rules: Sequence[tuple[str, Sequence[str], int]], start: str
) -> LineCost:
    """The estimated cost of parsing `length` characters with tagged CNF rules."""
    from . import _partial

    table, rows, seconds = _partial.estimate_parse(cnf_rules, start, length)
    return LineCost(
        length=length,
        wide=wide_nonterminals(cnf_rules),
        chart_bytes=_bytes(table + rows),
        seconds=seconds,
        memory_limit=physical_memory() // 2,
        table_bytes=_bytes(table),
    )


def induction_cost(length: int, lines: Iterable[str]) -> LineCost:
    """The costliest of the engine's induction candidates for `lines`, at `length`.

    The candidates are built from the lines' character-pair counts as induction
    builds them; the costliest by worst-case memory, then time, is returned.
    """
    import _engine

    from . import _partial

    corpus = list(lines)
    alphabet = sorted(set("".join(corpus)))
    found = _partial.candidates(_partial.pair_stats(corpus), alphabet)
    costs = [
        line_cost(length, _engine.to_cnf_tagged(productions, set(alphabet)), start)
        for _, productions, start in found
    ]
    if not costs:
        return line_cost(length, [], "S")
    return max(costs, key=lambda cost: (cost.chart_bytes, cost.seconds))


def wide_nonterminals(cnf_rules: Iterable[Sequence[Any]]) -> int:
    """The number of distinct left-hand sides of two-symbol rules."""
    return len({rule[0] for rule in cnf_rules if len(rule[1]) == 2})


def physical_memory() -> int:
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return 1 << 34  # 16 GiB when the system cannot say


def _bytes(value: float) -> int:
    return int(min(value, 2.0**63))


def _hours(seconds: float) -> str:
    if seconds >= 48 * 3600:
        return f"{seconds / 86400:,.0f} days"
    if seconds >= 3600:
        return f"{seconds / 3600:.1f} hours"
    return f"{max(1.0, seconds / 60):.0f} minutes"


def _size(size: int) -> str:
    for unit, factor in (("TB", 1e12), ("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if size >= factor:
            return f"{size / factor:,.1f} {unit}"
    return f"{size} bytes"
