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

The quoted symbols form the grammar's terminal set. One extension keeps a
terminal set that holds symbols no production uses: a line
"#%terminals 'x' 'y'" adds them. To other readers of the notation it is a
comment, so the files this module writes load there as well.

A right-hand side must hold at least one symbol; write '' for the empty
terminal.
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
class Grammar:
    productions: tuple[Production, ...]
    # In the order of first appearance in the file.
    terminals: tuple[str, ...]
    start: str
    # Symbols written quoted and also bare on a right-hand side: the engine
    # decides by the terminal set alone, so it treats the bare ones as terminals too.
    ambiguous: tuple[str, ...] = ()

    @property
    def terminal_set(self) -> frozenset[str]:
        return frozenset(self.terminals)

    @property
    def left_hand_sides(self) -> frozenset[str]:
        return frozenset(lhs for lhs, _ in self.productions)


def read_grammar(path: str) -> Grammar:
    return parse_grammar(read_lines(path), path)


def parse_grammar(lines: Sequence[str], path: str) -> Grammar:
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
        alternatives: list[list[str]] = [[]]
        for symbol, quoted in symbols:
            if quoted is None:
                alternatives.append([])
                continue
            alternatives[-1].append(symbol)
            (self.terminals if quoted else self.bare).setdefault(symbol)
        for number, rhs in enumerate(alternatives, start=1):
            if not rhs:
                which = f"alternative {number} of {lhs}" if len(alternatives) > 1 else lhs
                raise self.fail(
                    f"malformed production: {which} has an empty right-hand side "
                    "(write '' for the empty terminal)",
                    line,
                )
            self.productions.append((lhs, tuple(rhs)))

    def finish(self) -> Grammar:
        if not self.productions:
            raise InputError("no productions", self.path)
        start = self.start if self.start is not None else self.productions[0][0]
        if self.start is not None and start not in {lhs for lhs, _ in self.productions}:
            raise self.fail(f"no production has the start symbol {start} on its left", self.start_line)
        ambiguous = tuple(symbol for symbol in self.terminals if symbol in self.bare)
        return Grammar(tuple(self.productions), tuple(self.terminals), start, ambiguous)


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


def format_production(lhs: str, rhs: Sequence[str], terminals: frozenset[str] | set[str]) -> str:
    right = " ".join(format_symbol(symbol, terminals) for symbol in rhs)
    return f"{format_nonterminal(lhs)} -> {right}"


def format_grammar(
    productions: Sequence[Production],
    terminals: Iterable[str],
    start: str,
    comments: Iterable[str] = (),
) -> str:
    """The grammar as file text, one production per line; `ValueError` if it cannot be written.

    Reading the text back gives the same productions, terminal set and start symbol.
    """
    ordered_terminals = list(dict.fromkeys(terminals))
    terminal_set = frozenset(ordered_terminals)
    out = [f"# {comment}".replace("\n", " ") for comment in comments]
    if productions and productions[0][0] != start:
        out.append(f"%start {format_nonterminal(start)}")
    used = {symbol for _, rhs in productions for symbol in rhs if symbol in terminal_set}
    unused = [symbol for symbol in ordered_terminals if symbol not in used]
    if unused:
        out.append(" ".join([TERMINALS_PRAGMA, *(quote_terminal(symbol) for symbol in unused)]))
    out.extend(format_production(lhs, rhs, terminal_set) for lhs, rhs in productions)
    return "\n".join(out) + "\n"
