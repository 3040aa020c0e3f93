"""Grammar files in the text notation of NLTK's `CFG.fromstring`.

One left-hand side per line, then "->", then right-hand sides separated by "|":

    # balanced brackets
    S -> '(' S ')' | '(' ')'
    S -> S S

Nonterminals are bare names (letters, digits, "_", "/", and after the first
character also "^", "<", ">" and "-", but never "->"). Terminals are quoted with
single or double quotes; the text between the quotes is taken as it stands, so a
terminal may be empty, several characters long or contain spaces. There are no
escape sequences: a backslash is an ordinary character, a terminal holding a
single quote is written in double quotes and one holding a double quote in
single quotes. Lines starting with "#" are comments, and so is everything after
a "#" outside quotes. A line ending in a backslash continues on the next line.
"%start NAME" names the start symbol; without it the first left-hand side is
the start symbol.

The quoted symbols form the grammar's terminal set. A name may be both: the
bare `S` is the nonterminal and the quoted 'S' the terminal, and the reader
records which occurrence is which (`GrammarText.quoted`). One extension keeps
a terminal set that holds symbols no production uses: a line
"#%terminals 'x' 'y'" adds them. To other readers of the notation it is a
comment, so the files this module writes load there as well.

A right-hand side may be empty, as in NLTK (`S ->` or an empty alternative
`S -> 'a' |`): an empty production.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Iterable, Sequence

from .errors import InputError
from .text_lines import read_lines

NAME_RE = re.compile(r"[\w/](?:[\w/^<>]|-(?!>))*")
TERMINALS_PRAGMA = "#%terminals"

Production = tuple[str, tuple[str, ...]]


@dataclass(frozen=True)
class GrammarText:
    """What a grammar file says, before any interpretation."""

    productions: tuple[Production, ...]
    # In the order of first appearance in the file.
    terminals: tuple[str, ...]
    start: str
    # For each production, which right-hand symbols were quoted (terminals).
    quoted: tuple[tuple[bool, ...], ...] = ()
    # Names written both quoted and bare somewhere in the file.
    ambiguous: tuple[str, ...] = ()

    @property
    def terminal_set(self) -> frozenset[str]:
        return frozenset(self.terminals)

    @property
    def left_hand_sides(self) -> frozenset[str]:
        return frozenset(lhs for lhs, _ in self.productions)


def read_grammar(path: str) -> GrammarText:
    return parse_grammar(read_lines(path), path)


def parse_grammar(lines: Sequence[str], path: str) -> GrammarText:
    """The grammar written in `lines`; an `InputError` names `path` and the line."""
    builder = _GrammarBuilder(path)
    pending = ""
    pending_line = 0
    for number, raw in enumerate(lines, start=1):
        line = pending + raw.strip()
        if not pending:
            pending_line = number
        if line.startswith(TERMINALS_PRAGMA):
            pending = ""
            builder.add_terminals(line[len(TERMINALS_PRAGMA):], pending_line)
            continue
        if line.startswith("#") or line == "":
            pending = ""
            continue
        if line.endswith("\\"):
            pending = line[:-1].rstrip() + " "
            continue
        pending = ""
        builder.add_line(line, pending_line)
    if pending:
        builder.add_line(pending.rstrip(), pending_line)
    return builder.finish()


class _GrammarBuilder:
    def __init__(self, path: str):
        self.path = path
        self.productions: list[Production] = []
        self.quoted: list[tuple[bool, ...]] = []
        self.terminals: dict[str, None] = {}
        self.bare: dict[str, None] = {}  # bare right-hand symbols
        self.start: str | None = None
        self.start_line = 0

    def fail(self, message: str, line: int) -> InputError:
        return InputError(message, self.path, line)

    def add_line(self, text: str, line: int) -> None:
        if text.startswith("%"):
            self.add_directive(text, line)
        else:
            self.add_production(text, line)

    def add_directive(self, text: str, line: int) -> None:
        match = re.fullmatch(r"%start\s+(\S.*)", text)
        if match is None:
            word = text.split(None, 1)[0]
            if word == "%start":
                raise self.fail("%start needs the name of the start symbol", line)
            raise self.fail(f"unknown directive {word} (only %start is understood)", line)
        name = match.group(1).strip()
        if NAME_RE.fullmatch(name) is None:
            raise self.fail(f"%start needs one nonterminal name, found {name!r}", line)
        self.start = name
        self.start_line = line

    def add_terminals(self, text: str, line: int) -> None:
        symbols, rest = _read_symbols(text)
        if rest or any(not quoted for _, quoted in symbols):
            raise self.fail(f"{TERMINALS_PRAGMA} takes quoted terminals only", line)
        for symbol, _ in symbols:
            self.terminals.setdefault(symbol)

    def add_production(self, text: str, line: int) -> None:
        match = NAME_RE.match(text)
        if match is None:
            raise self.fail(
                f"malformed production: expected a nonterminal name, found {_excerpt(text)}", line
            )
        lhs = match.group()
        position = _skip_space(text, match.end())
        if not text.startswith("->", position):
            found = _excerpt(text[position:]) if position < len(text) else "the end of the line"
            raise self.fail(f"malformed production: expected '->' after {lhs}, found {found}", line)
        symbols, rest = _read_symbols(text[position + 2 :], allow_bar=True)
        if rest:
            what = "unterminated terminal" if rest[0] in "'\"" else f"unexpected {rest[0]!r}"
            raise self.fail(f"malformed production: {what} at {_excerpt(rest)}", line)
        alternatives: list[list[tuple[str, bool]]] = [[]]
        for symbol, quoted in symbols:
            if quoted is None:
                alternatives.append([])
                continue
            alternatives[-1].append((symbol, quoted))
            (self.terminals if quoted else self.bare).setdefault(symbol)
        for rhs in alternatives:
            self.productions.append((lhs, tuple(symbol for symbol, _ in rhs)))
            self.quoted.append(tuple(quoted for _, quoted in rhs))

    def finish(self) -> GrammarText:
        if not self.productions:
            raise InputError("no productions", self.path)
        start = self.start if self.start is not None else self.productions[0][0]
        if self.start is not None and start not in {lhs for lhs, _ in self.productions}:
            raise self.fail(f"no production has the start symbol {start} on its left", self.start_line)
        ambiguous = tuple(symbol for symbol in self.terminals if symbol in self.bare)
        return GrammarText(
            tuple(self.productions), tuple(self.terminals), start, tuple(self.quoted), ambiguous
        )


def _read_symbols(text: str, allow_bar: bool = False) -> tuple[list[tuple[str, bool | None]], str]:
    """Symbols of `text` as (symbol, quoted); "|" gives ("|", None) when allowed.

    Stops at a "#" outside quotes, or at the first thing that is no symbol, which
    is returned as the unread rest (empty when everything was read).
    """
    symbols: list[tuple[str, bool | None]] = []
    position = _skip_space(text, 0)
    while position < len(text):
        char = text[position]
        if char == "#":
            return symbols, ""
        if char in "'\"":
            end = text.find(char, position + 1)
            if end < 0:
                return symbols, text[position:]
            symbols.append((text[position + 1 : end], True))
            position = end + 1
        elif char == "|" and allow_bar:
            symbols.append(("|", None))
            position += 1
        else:
            match = NAME_RE.match(text, position)
            if match is None:
                return symbols, text[position:]
            symbols.append((match.group(), False))
            position = match.end()
        position = _skip_space(text, position)
    return symbols, ""


def _skip_space(text: str, position: int) -> int:
    while position < len(text) and text[position].isspace():
        position += 1
    return position


def _excerpt(text: str, limit: int = 40) -> str:
    return repr(text if len(text) <= limit else text[: limit - 3] + "...")


# Writing ----------------------------------------------------------------------


def quote_terminal(symbol: str) -> str:
    if "\n" in symbol:
        raise ValueError(f"the terminal {symbol!r} holds a line break, which a grammar file cannot")
    if "'" not in symbol:
        return f"'{symbol}'"
    if '"' not in symbol:
        return f'"{symbol}"'
    raise ValueError(f"the terminal {symbol!r} holds both kinds of quote, which a grammar file cannot")


def format_nonterminal(symbol: str) -> str:
    if NAME_RE.fullmatch(symbol) is None:
        raise ValueError(
            f"{symbol!r} is not a terminal and cannot be written as a nonterminal name"
        )
    return symbol


def format_symbol(symbol: str, terminals: frozenset[str] | set[str]) -> str:
    return quote_terminal(symbol) if symbol in terminals else format_nonterminal(symbol)


def format_production(
    lhs: str,
    rhs: Sequence[str],
    terminals: frozenset[str] | set[str],
    quoted: Sequence[bool] | None = None,
) -> str:
    """One production in the notation; `quoted` says which symbols are terminals
    (by default those in `terminals`)."""
    if quoted is None:
        quoted = [symbol in terminals for symbol in rhs]
    right = " ".join(
        quote_terminal(symbol) if is_terminal else format_nonterminal(symbol)
        for symbol, is_terminal in zip(rhs, quoted)
    )
    return f"{format_nonterminal(lhs)} ->" + (f" {right}" if right else "")


def format_grammar(
    productions: Sequence[Production],
    terminals: Iterable[str],
    start: str,
    comments: Iterable[str] = (),
    quoted: Sequence[Sequence[bool]] | None = None,
) -> str:
    """The grammar as file text, one production per line; `ValueError` if it cannot be written.

    Reading the text back gives the same productions, terminal set and start symbol
    (and the same `quoted` marks, which default to membership in `terminals`).
    """
    ordered_terminals = list(dict.fromkeys(terminals))
    terminal_set = frozenset(ordered_terminals)
    out = [f"# {comment}".replace("\n", " ") for comment in comments]
    if productions and productions[0][0] != start:
        out.append(f"%start {format_nonterminal(start)}")
    if quoted is None:
        quoted = [[symbol in terminal_set for symbol in rhs] for _, rhs in productions]
    used = {
        symbol
        for (_, rhs), marks in zip(productions, quoted)
        for symbol, is_terminal in zip(rhs, marks)
        if is_terminal
    }
    unused = [symbol for symbol in ordered_terminals if symbol not in used]
    if unused:
        out.append(" ".join([TERMINALS_PRAGMA, *(quote_terminal(symbol) for symbol in unused)]))
    out.extend(
        format_production(lhs, rhs, terminal_set, marks)
        for (lhs, rhs), marks in zip(productions, quoted)
    )
    return "\n".join(out) + "\n"
