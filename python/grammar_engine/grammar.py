"""`Grammar`: a context-free grammar as its user wrote it, parsed and scored by the engine.

A grammar is an ordered list of productions `(lhs, rhs)`, a set of terminals and
a start symbol. Grammars load from the file notation (NLTK's `CFG.fromstring`
notation, see `grammar_file`), from an `nltk.CFG`, or from plain Python data,
and `str(grammar)` writes the notation back.

The engine reads a grammar literally: a symbol is a terminal exactly when the
terminal set holds it, a one-symbol production matches only its own text, and
empty productions are not allowed. `Grammar` hands it a form it reads as the
user meant (`normal_form`) and speaks the user's names in every result:

- a name that is both a nonterminal and a terminal (`S` and `'S'`) is kept
  apart: the nonterminal gets a fresh internal name;
- `parse` always uses the normalised equivalent, so unit productions (`E -> T`)
  and empty productions (`A ->`, `A -> ''`) work, and the empty string parses
  when the start symbol derives it;
- `score` scores the grammar as written unless asked to normalise it, and warns
  about productions that can never apply (see `scoring`).
"""

from __future__ import annotations

import os
import re
from typing import TYPE_CHECKING, Any, Iterable, Sequence, TypeGuard

from .errors import InputError
from .grammar_file import GrammarText, format_grammar, format_production, parse_grammar, read_grammar

if TYPE_CHECKING:
    from .limits import LineCost
    from .normal_form import EngineForm
    from .scoring import Corpus, Score
    from .tree import Tree

_AUX_RE = re.compile(r"_AUX[0-9]+")

Production = tuple[str, tuple[str, ...]]
CnfRule = tuple[str, tuple[str, ...], int]


class Grammar:
    """A context-free grammar: productions, terminals and a start symbol.

    `Grammar(productions, terminals, start=None)` takes the productions as pairs
    `(lhs, rhs)` with `rhs` a sequence of symbols (empty for an empty production);
    a right-hand symbol is a terminal when `terminals` holds it, unless it is
    given as `Nonterminal(name)` (for a name that is both). The start symbol
    defaults to the first left-hand side. Grammars are immutable and compare
    equal when productions, terminal set and start symbol are equal.

    >>> g = Grammar.from_string("S -> 'a' S 'b' | 'a' 'b'")
    >>> g.parse("aabb").bracketed()
    '(S a (S a b) b)'
    """

    __slots__ = ("_productions", "_terminal_order", "_terminals", "_start", "_quoted", "_cache")

    def __init__(
        self,
        productions: Iterable[tuple[str, Sequence[str]]],
        terminals: Iterable[str],
        start: str | None = None,
    ) -> None:
        if isinstance(terminals, str):
            raise TypeError("terminals must be a collection of symbols, not one str")
        # An unordered collection gets a fixed order, so str(grammar) is the same every run.
        if isinstance(terminals, (set, frozenset)):
            terminal_order = tuple(sorted(terminals, key=_sort_key))
        else:
            terminal_order = tuple(dict.fromkeys(terminals))
        for symbol in terminal_order:
            _check_symbol(symbol, "terminal")
        terminal_set = frozenset(terminal_order)
        from .normal_form import Nonterminal

        checked = [_checked_production(item) for item in productions]
        quoted = tuple(
            tuple(s in terminal_set and not isinstance(s, Nonterminal) for s in rhs)
            for _, rhs in checked
        )
        plain = tuple((str(lhs), tuple(str.__str__(s) for s in rhs)) for lhs, rhs in checked)
        self._init(plain, terminal_order, start, quoted)

    def _init(
        self,
        productions: tuple[Production, ...],
        terminal_order: tuple[str, ...],
        start: str | None,
        quoted: tuple[tuple[bool, ...], ...],
    ) -> None:
        if start is None:
            if not productions:
                raise ValueError("a grammar without productions needs an explicit start symbol")
            start = productions[0][0]
        _check_symbol(start, "start symbol")
        self._productions = productions
        self._terminal_order = terminal_order
        self._terminals = frozenset(terminal_order)
        self._start = start
        self._quoted = quoted
        self._cache: dict[Any, Any] = {}

    @classmethod
    def _from_parts(
        cls,
        productions: Sequence[Production],
        terminals: Iterable[str],
        start: str | None,
        quoted: Sequence[Sequence[bool]],
    ) -> Grammar:
        grammar = cls.__new__(cls)
        grammar._init(
            tuple(productions),
            tuple(dict.fromkeys(terminals)),
            start,
            tuple(tuple(marks) for marks in quoted),
        )
        return grammar

    # Loading and writing ---------------------------------------------------------

    @classmethod
    def from_string(cls, text: str, start: str | None = None) -> Grammar:
        """The grammar written in `text` in the file notation.

        `start` overrides the start symbol (the first left-hand side, or `%start`).
        A malformed line raises `InputError` (a `ValueError`) naming the line.
        """
        # Lines end at "\n" only, as in a file: a terminal may hold a form feed or U+2028.
        lines = [line[:-1] if line.endswith("\r") else line for line in text.split("\n")]
        return cls._from_text(parse_grammar(lines, "<string>"), start, "<string>")

    @classmethod
    def from_file(cls, path: str | os.PathLike[str], start: str | None = None) -> Grammar:
        """The grammar in the file at `path` (UTF-8, file notation)."""
        name = os.fspath(path)
        return cls._from_text(read_grammar(name), start, name)

    @classmethod
    def _from_text(cls, text: GrammarText, start: str | None, name: str) -> Grammar:
        if start is not None and start not in {lhs for lhs, _ in text.productions}:
            raise InputError(f"no production has the start symbol {start} on its left", name)
        return cls._from_parts(
            text.productions, text.terminals, start or text.start, text.quoted
        )

    @classmethod
    def from_nltk(cls, cfg: Any) -> Grammar:
        """The grammar of an `nltk.CFG` (NLTK's empty productions `A ->` included)."""
        productions: list[Production] = []
        quoted: list[tuple[bool, ...]] = []
        terminals: dict[str, None] = {}
        for production in cfg.productions():
            rhs: list[str] = []
            marks: list[bool] = []
            for symbol in production.rhs():
                if isinstance(symbol, str):
                    rhs.append(symbol)
                    marks.append(True)
                    terminals.setdefault(symbol)
                else:
                    rhs.append(str(symbol.symbol()))
                    marks.append(False)
            productions.append((str(production.lhs().symbol()), tuple(rhs)))
            quoted.append(tuple(marks))
        return cls._from_parts(productions, terminals, str(cfg.start().symbol()), quoted)

    def with_start(self, start: str) -> Grammar:
        """The same grammar with another start symbol (a left-hand side)."""
        if start not in self.nonterminals:
            raise InputError(f"no production has the start symbol {start} on its left")
        return Grammar._from_parts(self._productions, self._terminal_order, start, self._quoted)

    def to_string(self, comments: Iterable[str] = ()) -> str:
        """The grammar in the file notation, with `comments` as leading comment lines.

        Raises `ValueError` for a grammar the notation cannot hold (a nonterminal
        that is no valid name, a terminal with both kinds of quote or a line break).
        """
        return format_grammar(
            self._productions, self._terminal_order, self._start, comments, self._quoted
        )

    def __str__(self) -> str:
        return self.to_string()

    def __repr__(self) -> str:
        count = len(self._productions)
        return (
            f"<Grammar: {count} production{'' if count == 1 else 's'}, "
            f"{len(self._terminals)} terminals, start {self._start!r}>"
        )

    def _key(self) -> tuple[object, ...]:
        return (self._productions, self._terminals, self._start, self._quoted)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Grammar):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __reduce__(self) -> tuple[Any, ...]:
        # Pickled without the engine's cached forms (for worker processes).
        return (
            Grammar._from_parts,
            (self._productions, self._terminal_order, self._start, self._quoted),
        )

    # What it holds ---------------------------------------------------------------

    @property
    def productions(self) -> tuple[Production, ...]:
        """The productions `(lhs, rhs)` in order; a production's position is its index."""
        return self._productions

    @property
    def terminals(self) -> frozenset[str]:
        """The terminal set, including terminals no production uses."""
        return self._terminals

    @property
    def start(self) -> str:
        return self._start

    @property
    def nonterminals(self) -> tuple[str, ...]:
        """The left-hand sides, each once, in the order they first occur."""
        return tuple(dict.fromkeys(lhs for lhs, _ in self._productions))

    def is_terminal(self, production: int, position: int) -> bool:
        """Whether right-hand symbol `position` of production `production` is a terminal.

        Only a name that is both a terminal and a nonterminal needs this: there the
        notation tells `'S'` from `S`, and so does the grammar.
        """
        return self._quoted[production][position]

    def production_text(self, index: int) -> str:
        """Production `index` in the file notation (or plainly, if it cannot be written)."""
        lhs, rhs = self._productions[index]
        try:
            return format_production(lhs, rhs, self._terminals, self._quoted[index])
        except ValueError:
            shown = [repr(s) if q else s for s, q in zip(rhs, self._quoted[index])]
            return f"{lhs} -> {' '.join(shown)}".rstrip()

    # Working with the engine -----------------------------------------------------

    def cnf(self, *, normalize: bool = False) -> list[CnfRule]:
        """The tagged Chomsky-normal-form rules the engine parses with.

        Each rule is `(lhs, rhs, tag)`; the tag is the index of the production in
        the engine's form of the grammar (`normalize=False`: the productions as
        written, in the same order), or -1 for a rule the conversion added. The
        names are the engine's: a right-hand symbol is a terminal exactly when
        `cnf_terminals(normalize)` holds it, and a nonterminal the engine knows
        under another name (a name that is also a terminal, say) has its grammar
        name in `cnf_names(normalize)`.
        """
        return [(lhs, tuple(rhs), tag) for lhs, rhs, tag in self._engine_form(normalize).cnf_rules]

    def cnf_terminals(self, normalize: bool = False) -> frozenset[str]:
        """The terminal set the engine reads the rules of `cnf(normalize=...)` with."""
        return self._engine_form(normalize).terminals

    def cnf_names(self, normalize: bool = False) -> dict[str, str]:
        """For each nonterminal the engine knows under another name, the grammar's name.

        Names like the conversion's own `_AUX1` are left out: shown under the
        grammar's name they would read as the conversion's.
        """
        form = self._engine_form(normalize)
        return {engine: own for own, engine in form.renamed if _AUX_RE.fullmatch(own) is None}

    def parse(self, text: str) -> Tree | None:
        """One derivation of `text` over this grammar's own productions, or None.

        The grammar is normalised first, so unit and empty productions apply, and
        the empty string parses when the start symbol derives it. A string the
        machine cannot hold a chart for raises `MemoryError`; see `parse_cost`.
        """
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}")
        form = self._engine_form(True)
        # Convert first: a MemoryError below is then the parse's chart, not the grammar.
        self._engine_rules(True)
        try:
            return form.parse(text)
        except MemoryError as error:
            if error.args:
                raise
            cost = self.parse_cost(len(text))
            raise MemoryError(
                f"a string of {len(text):,} characters is too large to parse: its chart "
                f"outgrew the {cost.memory_limit:,} bytes the parser may use (tables of about "
                f"{cost.table_bytes:,} bytes, up to {cost.chart_bytes:,} bytes with every span "
                f"derivable; {cost.wide} wide nonterminal{'' if cost.wide == 1 else 's'})"
            ) from None

    def score(
        self,
        corpus: Corpus,
        *,
        normalize: bool = False,
        workers: int | None = None,
        chunk_lines: int | None = None,
        client: Any = None,
    ) -> Score:
        """Description-length score of the grammar on `corpus`, with coverage and warnings.

        `corpus` is an iterable of str, one string each (a trailing line break is
        dropped, so an open text file works), or the path of a UTF-8 file with one
        string per line; blank lines are skipped. By default the grammar is scored
        as the engine reads it, and productions that can never apply are named in
        a warning; `normalize=True` scores the normalised equivalent instead.

        Giving `workers`, `chunk_lines` or `client` scores the corpus in chunks of
        `chunk_lines` lines (default 10,000) on `workers` processes (default: every
        core) or on the workers of a `distributed.Client`, with exactly the same
        result; a file is then read chunk by chunk, never whole (see `sharding`).
        """
        from .scoring import score_grammar

        return score_grammar(
            self, corpus, normalize=normalize, workers=workers, chunk_lines=chunk_lines, client=client
        )

    def parse_cost(self, length: int, *, normalize: bool = True) -> LineCost:
        """Estimated memory and time to parse a string of `length` characters.

        The tables are taken for sure; `chart_bytes` and `seconds` are the worst
        case, with every span derivable, which most parses stay far below.
        """
        from .limits import line_cost

        return line_cost(length, self._engine_rules(normalize), self._engine_form(normalize).start)

    # Internals shared with scoring -------------------------------------------------

    def _engine_form(self, normalize: bool) -> EngineForm:
        """The engine's reading of the grammar (cached): see `normal_form`."""
        key = ("form", normalize)
        if key not in self._cache:
            from .normal_form import Nonterminal, engine_form

            # A bare right-hand name that is also a terminal is the nonterminal:
            # past this point only the marker tells the two apart.
            productions = [
                (
                    lhs,
                    [
                        s if is_terminal or s not in self._terminals else Nonterminal(s)
                        for s, is_terminal in zip(rhs, marks)
                    ],
                )
                for (lhs, rhs), marks in zip(self._productions, self._quoted)
            ]
            self._cache[key] = engine_form(
                productions, self._terminals, self._start, normalize=normalize
            )
        form: EngineForm = self._cache[key]
        return form

    def _engine_rules(self, normalize: bool) -> list[Any]:
        return self._engine_form(normalize).cnf_rules


def _checked_production(item: object) -> Production:
    lhs: object
    rhs: object
    try:
        lhs, rhs = item  # type: ignore[misc]
    except (TypeError, ValueError):
        raise TypeError(f"a production is a pair (lhs, rhs), not {item!r}") from None
    if not isinstance(lhs, str):
        raise TypeError(f"a left-hand side must be a str, not {type(lhs).__name__}")
    if isinstance(rhs, str) or not isinstance(rhs, Iterable):
        raise TypeError(
            f"the right-hand side of {lhs!r} must be a sequence of symbols, not {rhs!r}"
        )
    symbols: list[str] = []
    for symbol in rhs:
        _check_symbol(symbol, "right-hand symbol")
        symbols.append(symbol)
    return lhs, tuple(symbols)


def _sort_key(symbol: object) -> tuple[int, str]:
    return (0, symbol) if isinstance(symbol, str) else (1, repr(symbol))


def _check_symbol(symbol: object, what: str) -> TypeGuard[str]:
    if not isinstance(symbol, str):
        raise TypeError(f"a {what} must be a str, not {type(symbol).__name__}")
    return True
