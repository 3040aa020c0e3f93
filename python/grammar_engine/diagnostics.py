"""Checks behind the warnings of scoring and induction.

Each function returns the warning texts for one kind of problem (empty when
there is none); `emit` hands them to Python's `warnings` module. The texts are
the same on the result objects and on the command line.
"""

from __future__ import annotations

import math
import warnings
from collections import Counter
from typing import TYPE_CHECKING, Iterable, Mapping, Sequence

from .errors import GrammarEngineWarning

if TYPE_CHECKING:
    from .grammar import Grammar
    from .normal_form import EngineForm

# Characters and productions named in a warning before the rest is only counted.
SHOWN_CHARACTERS = 8
SHOWN_PRODUCTIONS = 20


def emit(messages: Iterable[str], stacklevel: int) -> None:
    """Warn once per message, attributed `stacklevel` frames above the caller."""
    for message in messages:
        warnings.warn(message, GrammarEngineWarning, stacklevel=stacklevel + 1)


def grammar_warnings(grammar: Grammar) -> list[str]:
    """Problems of the grammar as written: undefined nonterminals and duplicates."""
    return undefined_warnings(grammar) + duplicate_warnings(grammar)


def undefined_warnings(grammar: Grammar) -> list[str]:
    """A warning for each nonterminal that is used (or the start) but has no production."""
    defined = set(grammar.nonterminals)
    undefined: dict[str, None] = {}
    for index, (_, rhs) in enumerate(grammar.productions):
        for position, symbol in enumerate(rhs):
            if not grammar.is_terminal(index, position) and symbol not in defined:
                undefined.setdefault(symbol)
    if grammar.start not in defined:
        undefined = {grammar.start: None, **undefined}
    return [
        f"the nonterminal {name} is used but never defined (no production has it on the left)"
        for name in undefined
    ]


def duplicate_warnings(grammar: Grammar) -> list[str]:
    """A warning for each production listed more than once."""
    found = []
    keys = [
        (production, tuple(grammar.is_terminal(index, p) for p in range(len(production[1]))))
        for index, production in enumerate(grammar.productions)
    ]
    counts = Counter(keys)
    first: dict[object, int] = {}
    for index, key in enumerate(keys):
        first.setdefault(key, index)
    for key, count in counts.items():
        if count > 1:
            found.append(
                f"the production {grammar.production_text(first[key])} is listed {count} times; "
                "only the first copy is ever used, each copy adds to l_library"
            )
    return found


def inapplicable_warning(grammar: Grammar, form: EngineForm) -> list[str]:
    """The productions that can never apply as the engine reads the grammar, with why."""
    if not form.inapplicable:
        return []
    productive = productive_symbols(form.engine_productions(), form.terminals)
    engine_name = dict(form.renamed)
    reasons = [
        (index, _why_inapplicable(grammar, index, productive, engine_name))
        for index in form.inapplicable
    ]
    listing = "; ".join(
        f"{grammar.production_text(index)} ({why})" for index, why in reasons[:SHOWN_PRODUCTIONS]
    )
    count = len(reasons)
    if count > SHOWN_PRODUCTIONS:
        listing += f"; ... and {count - SHOWN_PRODUCTIONS} more"
    message = (
        f"{count} production{'s' if count > 1 else ''} can never apply as the engine reads "
        f"the grammar: {listing}"
    )
    if any(why not in (_NO_TEXT, _UNREACHED) for _, why in reasons):
        message += (
            "; scoring with normalize=True (score --normalize) scores the normalised "
            "equivalent, where unit and empty productions and long terminals apply"
        )
    return [message]


_NO_TEXT = "a nonterminal in it derives no text"
_UNREACHED = "no parse from the start symbol reaches it"


def _why_inapplicable(
    grammar: Grammar, index: int, productive: set[str], engine_name: dict[str, str]
) -> str:
    _, rhs = grammar.productions[index]
    marks = [grammar.is_terminal(index, position) for position in range(len(rhs))]
    if not rhs or any(mark and symbol == "" for symbol, mark in zip(rhs, marks)):
        return "empty"
    if len(rhs) == 1 and not marks[0]:
        return "unit production"
    if any(mark and len(symbol) > 1 for symbol, mark in zip(rhs, marks)):
        return "a terminal of several characters: the parser reads one character at a time"
    if any(not mark and engine_name.get(s, s) not in productive for s, mark in zip(rhs, marks)):
        return _NO_TEXT
    return _UNREACHED


def normalized_note(grammar: Grammar, form: EngineForm) -> list[str]:
    count = len(form.productions)
    return [
        f"scored the normalised equivalent of the grammar ({count} production"
        f"{'' if count == 1 else 's'} with unit and empty productions eliminated, "
        f"instead of the {len(grammar.productions)} written); l_library counts those"
    ]


def derives_nothing(form: EngineForm, start: str) -> list[str]:
    """A warning when the start symbol (the user's `start`) derives no string, as the engine reads the grammar."""
    if form.accepts_empty or form.start in productive_symbols(form.engine_productions(), form.terminals):
        return []
    return [f"the grammar derives no string at all: no derivation from {start} ends in text"]


def derives_nothing_as_written(grammar: Grammar, form: EngineForm) -> list[str]:
    """`derives_nothing` for the grammar as written, which may derive strings only once normalised."""
    found = derives_nothing(form, grammar.start)
    if not found:
        return found
    try:
        normalized = grammar._engine_form(True)
    except ValueError:  # a normalised form too large to build
        return found
    if not derives_nothing(normalized, grammar.start):
        return [
            f"as the engine reads the grammar, no derivation from {grammar.start} ends in text, "
            "so no line can parse; its normalised equivalent does derive strings "
            "(normalize=True, score --normalize)"
        ]
    return found


def productive_symbols(
    productions: Sequence[tuple[str, Sequence[str]]], terminals: frozenset[str]
) -> set[str]:
    """The nonterminals that derive some text, as the engine parses.

    The engine matches one character at a time and reads every one-symbol
    production as matching its symbol's text literally; a terminal in a longer
    right-hand side matches one character when it is one.
    """

    from .normal_form import productive_heads

    waits: list[list[str] | None] = []
    for _, rhs in productions:
        if len(rhs) == 1:
            # A one-symbol rule matches its symbol's text, terminal or not.
            waits.append([] if len(rhs[0]) == 1 else None)
        elif len(rhs) < 2 or any(s in terminals and len(s) != 1 for s in rhs):
            waits.append(None)
        else:
            waits.append([s for s in rhs if s not in terminals])
    return productive_heads([lhs for lhs, _ in productions], waits)


def missing_characters(lines: Iterable[str], terminals: frozenset[str]) -> tuple[Counter[str], int]:
    """The characters of `lines` that are not terminals, counted, and the lines holding any."""
    missing: Counter[str] = Counter()
    lines_hit = 0
    for line in lines:
        if terminals.issuperset(line):
            continue
        outside = [char for char in line if char not in terminals]
        if outside:
            lines_hit += 1
            missing.update(outside)
    return missing, lines_hit


def alphabet_warning(lines: Sequence[str], terminals: frozenset[str], what: str) -> list[str]:
    """A warning when characters of `lines` are not terminals, with the bytes they hold."""
    missing, lines_hit = missing_characters(lines, terminals)
    return missing_alphabet_warning(missing, lines_hit, terminals, what)


def missing_alphabet_warning(
    missing: Mapping[str, int], lines_hit: int, terminals: frozenset[str], what: str
) -> list[str]:
    """`alphabet_warning` from counts already made (see `missing_characters`)."""
    if not missing:
        return []
    size = sum(len(char.encode("utf-8")) * count for char, count in missing.items())
    chars = sorted(missing, key=lambda char: (-missing[char], char))
    shown = ", ".join(repr(char) for char in chars[:SHOWN_CHARACTERS])
    if len(chars) > SHOWN_CHARACTERS:
        shown += ", ..."
    spell = math.log2(max(len(terminals), 2))
    return [
        f"the alphabet misses {len(chars)} character{'s' if len(chars) > 1 else ''} of the "
        f"{what} ({shown}): {size} byte{'s' if size > 1 else ''} in {lines_hit} "
        f"line{'s' if lines_hit > 1 else ''}; "
        f"those lines cannot parse, and the score spells them at {spell:.2f} bits per byte "
        "(the price of a character of the alphabet), as if the missing characters cost nothing more"
    ]


def coverage_warning(parsed: int, lines: int, what: str) -> list[str]:
    if lines and parsed == 0:
        return [f"none of the {lines} {what} parses: the score only spells them out"]
    return []
