"""A grammar as the engine can read it, and the way back from its parses to the grammar.

`_engine` reads a grammar literally. A symbol is a terminal exactly when the
terminal set holds it; a one-symbol production is a terminal rule that matches the
one character equal to its symbol, so `A -> B` never lets A derive what B derives;
an empty right-hand side is an internal fault; a terminal '' or of several
characters never matches, the parser reading one character at a time; and the
conversion's auxiliaries `_AUX1`, `_AUX2`, ... are shared with any nonterminal of
the same name. `engine_form` builds what the engine should be given so that it
reads the grammar as its author meant, and `EngineForm.tree` turns the tags of a
parse back into a derivation over the author's own productions.

Names. A nonterminal (a left-hand side, the start symbol, or a right-hand symbol
that is not a terminal) is renamed internally when its name is also a terminal,
has the form `_AUX<digits>`, is empty, or (read as written) is a single character
standing alone on a right-hand side, where the engine would match it as text. The
new name is never a terminal, another symbol of the grammar or an `_AUX` name,
and is at least two characters long. Scores do not depend on names, so the
renaming leaves a score unchanged, except where the engine would have matched a
nonterminal's name as text. A right-hand symbol is a terminal when the
terminal set holds it, as for the engine; to use a name that is also a terminal
as a nonterminal on a right-hand side, write it as `Nonterminal(name)`.

Read as written (`normalize=False`), the productions stay as they are, renamed
only; an empty right-hand side becomes `('',)`, which never matches, so that the
engine does not fault and every production keeps its index (its cost in the
score is that of one symbol more). `inapplicable` lists the productions that can
never take part in a parse as the engine reads them.

Normalised (`normalize=True`), the engine gets an equivalent grammar that derives
exactly the non-empty strings the grammar derives: the empty terminal and empty
right-hand sides are taken as the empty string, nullable symbols are left out in
every combination (a production with more than four optional symbols is first cut
into a chain of two-symbol parts, so the grammar stays small), unit productions
are replaced by what their targets derive (cycles included), and a terminal of
several characters is spelled out as its characters, still one leaf in the tree
(the terminal set gains those characters). Productions that derive nothing are
left out. Replacing unit productions copies rules, so long unit chains and large unit cycles
grow the form with the square of the grammar; a form past a million productions
raises `ValueError` instead of exhausting memory.
Productions keep the author's order wherever they can: the engine reports the
first rule that applies, so the tree reported is the one the author's order
suggests. `accepts_empty` says whether the start symbol derives the empty
string, which the engine never parses; `tree((), "")` gives that derivation.
"""

from __future__ import annotations

import itertools
import re
from collections import deque
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any, Iterable, Iterator, Sequence, Union, cast

from .tree import Tree, TreeMismatch

__all__ = ["EngineForm", "Nonterminal", "engine_form", "TreeMismatch"]

_AUX_RE = re.compile(r"_AUX[0-9]+")
# Above this many optional symbols in one production, the production is cut into
# two-symbol parts before the optional symbols are left out.
_MAX_OPTIONAL = 4
# Replacing unit productions copies the rules of their targets, which grows with the
# square of the grammar for long unit chains and large unit cycles. Past this many
# engine productions the form is refused rather than left to exhaust memory.
_MAX_PRODUCTIONS = 1_000_000


class Nonterminal(str):
    """A right-hand symbol that is a nonterminal even if the terminal set holds its text."""

    __slots__ = ()

    def __repr__(self) -> str:
        return f"Nonterminal({str.__repr__(self)})"


# How one node of the author's tree is built from the children of one engine rule.
# Items: None takes the next child (a character, or the items a nonterminal built,
# spliced in); an int n joins the next n characters into one leaf (a terminal
# spelled out); a tuple is spliced in as it stands (the derivation of a left-out
# symbol). A shape without a label is a part of a cut production: its items go
# straight into the parent's children.
@dataclass(frozen=True, slots=True)
class _Shape:
    label: str | None
    items: tuple[_Item, ...]


# What a node's children are made of: subtrees, leaves, and (for the left-out tail
# of a cut production) fixed items nested inside fixed items.
_Leaf = Union[Tree, str]
_Fixed = tuple[Union[Tree, str, "_Nested"], ...]
_Item = Union[None, int, _Fixed]
# What a rule of the engine hands its parent: one character, or the items it built.
_Child = Union[str, list[_Leaf]]


# Unit steps above a rule, innermost first, as a linked list: (shape, outer) or None.
_Path = Union[tuple[_Shape, "_Path"], None]


@dataclass(frozen=True)
class EngineForm:
    """A grammar as `_engine` can read it, with the way back to the author's names and productions."""

    productions: tuple[tuple[str, tuple[str, ...]], ...]
    terminals: frozenset[str]
    start: str
    accepts_empty: bool
    normalized: bool
    inapplicable: tuple[int, ...]
    # (author's name, engine's name) for every renamed nonterminal.
    renamed: tuple[tuple[str, str], ...] = ()
    _recipes: tuple[tuple[_Shape, _Path], ...] = field(default=(), repr=False, compare=False)
    _empty_tree: Tree | None = field(default=None, repr=False, compare=False)

    def engine_productions(self) -> list[tuple[str, list[str]]]:
        """The productions in the shape `_engine` takes them."""
        return [(lhs, list(rhs)) for lhs, rhs in self.productions]

    @cached_property
    def cnf_rules(self) -> list[tuple[str, list[str], int]]:
        """The tagged rules `_engine.to_cnf_tagged` makes of these productions."""
        import _engine

        return _engine.to_cnf_tagged(self.engine_productions(), set(self.terminals))

    def parse(self, text: str) -> Tree | None:
        """The derivation of `text` the engine finds, over the author's productions; None if none."""
        if text == "":
            return self._empty_tree
        import _engine

        tags = _engine.parse_cnf(text, self.cnf_rules, self.start)
        return None if tags is None else self.tree(tags, text)

    def tree(self, tags: Sequence[int], text: str) -> Tree:
        """The derivation over the author's productions that the parse `tags` of `text` describes.

        `tags` come from `_engine.parse_cnf(text, rules, self.start)`, with the rules
        that `_engine.to_cnf_tagged` made of `engine_productions()` and `terminals`.
        Empty tags for an empty text give the derivation of the empty string when
        the grammar has one. Raises `TreeMismatch` when the tags do not fit.
        """
        if len(tags) == 0:
            if text == "" and self._empty_tree is not None:
                return self._empty_tree
            raise TreeMismatch("no tags: only the empty string of a grammar that derives it has none")
        return _Rebuild(self, tags, text).run()


class _Rebuild:
    """Reads engine tags in pre-order, with an explicit stack, into the author's tree."""

    def __init__(self, form: EngineForm, tags: Sequence[int], text: str):
        self.form = form
        self.tags = tags
        self.text = text
        self.next_tag = 0
        self.next_char = 0

    def tag(self) -> int:
        if self.next_tag >= len(self.tags):
            raise TreeMismatch("the tags end before the derivation is complete")
        self.next_tag += 1
        return self.tags[self.next_tag - 1]

    def char(self, symbol: str) -> str:
        if self.next_char >= len(self.text) or self.text[self.next_char] != symbol:
            raise TreeMismatch(
                f"the terminal {symbol!r} does not match the text at position {self.next_char}"
            )
        self.next_char += 1
        return symbol

    def auxiliary(self) -> None:
        tag = self.tag()
        if tag != -1:
            raise TreeMismatch(f"expected a rule added by the conversion (-1), found tag {tag}")

    def run(self) -> Tree:
        productions = self.form.productions
        terminals = self.form.terminals
        # Each frame: [engine production, children gathered so far, next right-hand position].
        frames: list[list[Any]] = []
        result: list[_Leaf] | None = None

        def open_rule(expected: str) -> list[_Leaf] | None:
            tag = self.tag()
            if not 0 <= tag < len(productions):
                raise TreeMismatch(f"expected a production for {expected!r}, found tag {tag}")
            lhs, rhs = productions[tag]
            if lhs != expected:
                raise TreeMismatch(f"tag {tag} names a production for {lhs!r}, not {expected!r}")
            if len(rhs) == 1:
                return self.build(tag, [self.char(rhs[0])])
            for _ in range(len(rhs) - 2):
                self.auxiliary()
            frames.append([tag, [], 0])
            return None

        result = open_rule(self.form.start)
        while frames:
            frame = frames[-1]
            tag, children, position = frame
            rhs = productions[tag][1]
            if position == len(rhs):
                frames.pop()
                built = self.build(tag, children)
                if frames:
                    frames[-1][1].append(built)
                else:
                    result = built
                continue
            frame[2] = position + 1
            symbol = rhs[position]
            if symbol in terminals:
                self.auxiliary()
                children.append(self.char(symbol))
            else:
                opened = open_rule(symbol)
                if opened is not None:
                    children.append(opened)
        if self.next_tag != len(self.tags):
            raise TreeMismatch("tags are left over after the derivation is complete")
        if self.next_char != len(self.text):
            raise TreeMismatch("the derivation does not cover the whole text")
        if result is None or len(result) != 1 or not isinstance(result[0], Tree):  # pragma: no cover
            raise TreeMismatch("the tags do not describe one tree")
        return result[0]

    def build(self, tag: int, children: list[_Child]) -> list[_Leaf]:
        shape, path = self.form._recipes[tag]
        items = _fill(shape, children)
        while path is not None:
            shape, path = path
            items = _fill(shape, [items])
        return items


@dataclass(frozen=True, slots=True)
class _Nested:
    """Fixed items inside fixed items: the left-out tail of a cut production, shared, not copied."""

    items: _Fixed


def _splice(out: list[_Leaf], items: _Fixed) -> None:
    stack = [iter(items)]
    while stack:
        for item in stack[-1]:
            if isinstance(item, _Nested):
                stack.append(iter(item.items))
                break
            out.append(item)
        else:
            stack.pop()


def _fill(shape: _Shape, children: list[_Child]) -> list[_Leaf]:
    out: list[_Leaf] = []
    taken = 0
    for item in shape.items:
        if item is None:
            child = children[taken]
            taken += 1
            if isinstance(child, list):
                out.extend(child)
            else:
                out.append(child)
        elif isinstance(item, int):
            # The characters of a spelled-out terminal.
            out.append("".join(cast(list[str], children[taken : taken + item])))
            taken += item
        else:
            _splice(out, item)
    if taken != len(children):  # pragma: no cover - shapes are built to fit their rules
        raise TreeMismatch("a rule's children do not fit the production it stands for")
    if shape.label is None:
        return out
    return [Tree(shape.label, tuple(out))]


# ---------------------------------------------------------------------------
# Building the form


@dataclass
class _Grammar:
    """The author's grammar with every right-hand symbol marked terminal or not."""

    lhs: list[str]
    rhs: list[tuple[str, ...]]
    is_terminal: list[tuple[bool, ...]]
    terminals: frozenset[str]
    start: str
    nonterminals: list[str]  # in order of first appearance
    # production indices per nonterminal occurring on their right-hand side (repeats kept)
    users: dict[str, list[int]]


def engine_form(
    productions: Iterable[tuple[str, Sequence[str]]],
    terminals: Iterable[str],
    start: str,
    *,
    normalize: bool,
) -> EngineForm:
    """The grammar in the form `_engine` reads as meant; see the module's description."""
    grammar = _read_grammar(productions, terminals, start)
    nullable, empty_trees = _nullable(grammar)
    accepts_empty = grammar.start in nullable
    empty_tree = empty_trees.get(grammar.start)
    if normalize:
        return _normalized(grammar, nullable, empty_trees, accepts_empty, empty_tree)
    return _as_written(grammar, accepts_empty, empty_tree)


def _read_grammar(
    productions: Iterable[tuple[str, Sequence[str]]], terminals: Iterable[str], start: str
) -> _Grammar:
    if isinstance(terminals, str):
        raise TypeError("terminals must be a collection of str, not one str")
    terminal_set = frozenset(terminals)
    for terminal in terminal_set:
        if not isinstance(terminal, str):
            raise TypeError(f"a terminal must be a str, not {type(terminal).__name__}")
    if not isinstance(start, str):
        raise TypeError(f"the start symbol must be a str, not {type(start).__name__}")
    start = str.__str__(start)
    lhs_list: list[str] = []
    rhs_list: list[tuple[str, ...]] = []
    kinds: list[tuple[bool, ...]] = []
    order: dict[str, None] = {}
    users: dict[str, list[int]] = {}
    for index, production in enumerate(productions):
        try:
            lhs, rhs = production
        except (TypeError, ValueError):
            raise TypeError(f"production {index} is not a pair (lhs, rhs)") from None
        if not isinstance(lhs, str):
            raise TypeError(f"production {index}: the left-hand side must be a str, not {type(lhs).__name__}")
        if isinstance(rhs, str):
            raise TypeError(f"production {index}: the right-hand side must be a sequence of str, not one str")
        symbols = tuple(rhs)
        for symbol in symbols:
            if not isinstance(symbol, str):
                raise TypeError(
                    f"production {index}: a right-hand symbol must be a str, not {type(symbol).__name__}"
                )
        lhs = str.__str__(lhs)
        marks = tuple(symbol in terminal_set and not isinstance(symbol, Nonterminal) for symbol in symbols)
        symbols = tuple(str.__str__(symbol) for symbol in symbols)
        lhs_list.append(lhs)
        rhs_list.append(symbols)
        kinds.append(marks)
        order.setdefault(lhs, None)
        for symbol, is_terminal in zip(symbols, marks):
            if not is_terminal:
                order.setdefault(symbol, None)
                users.setdefault(symbol, []).append(index)
    order.setdefault(start, None)
    return _Grammar(lhs_list, rhs_list, kinds, terminal_set, start, list(order), users)


def _nullable(grammar: _Grammar) -> tuple[set[str], dict[str, Tree]]:
    """The nonterminals that derive '' and one derivation of '' for each, found breadth first."""
    remaining: list[int] = []
    queue: deque[int] = deque()
    for index, (rhs, kinds) in enumerate(zip(grammar.rhs, grammar.is_terminal)):
        if any(terminal and symbol != "" for symbol, terminal in zip(rhs, kinds)):
            remaining.append(-1)
            continue
        count = sum(1 for terminal in kinds if not terminal)
        remaining.append(count)
        if count == 0:
            queue.append(index)
    trees: dict[str, Tree] = {}
    while queue:
        index = queue.popleft()
        lhs = grammar.lhs[index]
        if lhs in trees:
            continue
        children = tuple(
            "" if terminal else trees[symbol]
            for symbol, terminal in zip(grammar.rhs[index], grammar.is_terminal[index])
        )
        trees[lhs] = Tree(lhs, children)
        for user in grammar.users.get(lhs, ()):
            if remaining[user] > 0:
                remaining[user] -= 1
                if remaining[user] == 0:
                    queue.append(user)
    return set(trees), trees


def _productive(grammar: _Grammar, rule_ok: Sequence[bool]) -> set[str]:
    """Nonterminals that derive some text through rules marked ok."""
    waits = [
        [symbol for symbol, terminal in zip(rhs, kinds) if not terminal] if ok else None
        for rhs, kinds, ok in zip(grammar.rhs, grammar.is_terminal, rule_ok)
    ]
    return productive_heads(grammar.lhs, waits)


def productive_heads(heads: Sequence[str], waits: Sequence[Sequence[str] | None]) -> set[str]:
    """The left-hand sides that derive some text: rule i (left-hand side `heads[i]`)
    applies once every symbol of `waits[i]` is productive (a symbol listed twice
    counts twice); `None` marks a rule that never applies.

    A worklist: each rule waits for its symbols, so the work is linear in the
    grammar's size whatever order the rules come in."""
    waiting: list[int] = []
    users: dict[str, list[int]] = {}
    ready: list[int] = []
    for index, needed in enumerate(waits):
        if needed is None:
            waiting.append(-1)
            continue
        waiting.append(len(needed))
        for symbol in needed:
            users.setdefault(symbol, []).append(index)
        if not needed:
            ready.append(index)
    productive: set[str] = set()
    while ready:
        lhs = heads[ready.pop()]
        if lhs in productive:
            continue
        productive.add(lhs)
        for user in users.get(lhs, ()):
            waiting[user] -= 1
            if waiting[user] == 0:
                ready.append(user)
    return productive


def _useful_rules(grammar: _Grammar, rule_ok: Sequence[bool], productive: set[str]) -> list[bool]:
    """Rules that take part in some derivation from the start: usable and reachable."""
    usable = [
        rule_ok[index]
        and all(terminal or symbol in productive for symbol, terminal in zip(rhs, grammar.is_terminal[index]))
        for index, rhs in enumerate(grammar.rhs)
    ]
    by_lhs: dict[str, list[int]] = {}
    for index, lhs in enumerate(grammar.lhs):
        if usable[index]:
            by_lhs.setdefault(lhs, []).append(index)
    reached = {grammar.start}
    stack = [grammar.start]
    while stack:
        for index in by_lhs.get(stack.pop(), ()):
            for symbol, terminal in zip(grammar.rhs[index], grammar.is_terminal[index]):
                if not terminal and symbol not in reached:
                    reached.add(symbol)
                    stack.append(symbol)
    return [usable[index] and grammar.lhs[index] in reached for index in range(len(grammar.lhs))]


def _rename(grammar: _Grammar, engine_terminals: frozenset[str], text_units: set[str]) -> dict[str, str]:
    """Engine names for the nonterminals; `text_units` are names the engine would match as text."""
    taken = set(engine_terminals) | grammar.terminals | set(grammar.nonterminals)
    for rhs in grammar.rhs:
        taken.update(rhs)
    names: dict[str, str] = {}
    for name in grammar.nonterminals:
        if name in engine_terminals or name == "" or _AUX_RE.fullmatch(name) or name in text_units:
            names[name] = _fresh(name, taken)
        else:
            names[name] = name
    return names


def _fresh(base: str, taken: set[str], counters: dict[str, int] | None = None) -> str:
    """A name from `base` that is in no way taken; `counters` remembers where the
    numbering of each base stopped, so many names from one base take linear time."""
    candidate = base + "'"
    counter = 1 if counters is None else counters.get(base, 1)
    while candidate in taken or len(candidate) < 2 or _AUX_RE.fullmatch(candidate):
        candidate = f"{base}'{counter}"
        counter += 1
    if counters is not None:
        counters[base] = counter
    taken.add(candidate)
    return candidate


def _as_written(grammar: _Grammar, accepts_empty: bool, empty_tree: Tree | None) -> EngineForm:
    # A one-character nonterminal alone on a right-hand side would be matched as text.
    text_units = {
        rhs[0]
        for rhs, kinds in zip(grammar.rhs, grammar.is_terminal)
        if len(rhs) == 1 and not kinds[0] and len(rhs[0]) == 1
    }
    names = _rename(grammar, grammar.terminals, text_units)
    productions = []
    recipes = []
    for lhs, rhs, kinds in zip(grammar.lhs, grammar.rhs, grammar.is_terminal):
        engine_rhs = tuple(symbol if terminal else names[symbol] for symbol, terminal in zip(rhs, kinds))
        productions.append((names[lhs], engine_rhs or ("",)))
        recipes.append((_Shape(lhs, (None,) * len(rhs)), None))
    # As the engine reads them: a one-symbol rule applies to one character equal to a
    # terminal; a longer one needs one-character terminals and productive nonterminals.
    rule_ok = [
        len(rhs) >= 2 and all(len(symbol) == 1 for symbol, terminal in zip(rhs, kinds) if terminal)
        or (len(rhs) == 1 and kinds[0] and len(rhs[0]) == 1)
        for rhs, kinds in zip(grammar.rhs, grammar.is_terminal)
    ]
    productive = _productive(grammar, rule_ok)
    useful = _useful_rules(grammar, rule_ok, productive)
    return EngineForm(
        productions=tuple(productions),
        terminals=grammar.terminals,
        start=names[grammar.start],
        accepts_empty=accepts_empty,
        normalized=False,
        inapplicable=tuple(index for index, ok in enumerate(useful) if not ok),
        renamed=tuple((name, new) for name, new in names.items() if name != new),
        _recipes=tuple(recipes),
        _empty_tree=empty_tree,
    )


@dataclass(frozen=True, slots=True)
class _Slot:
    """One right-hand position: what it gives the engine rule if kept, what the tree gets if left out."""

    keep: tuple[tuple[str, ...], Union[None, int]] | None
    drop: _Fixed | None


@dataclass(frozen=True, slots=True)
class _Variant:
    lhs: str
    rhs: tuple[str, ...]
    shape: _Shape
    unit: bool  # rhs is one nonterminal
    original: bool  # the author's production exactly as written


def _normalized(
    grammar: _Grammar,
    nullable: set[str],
    empty_trees: dict[str, Tree],
    accepts_empty: bool,
    empty_tree: Tree | None,
) -> EngineForm:
    count = len(grammar.lhs)
    everything = [True] * count
    # Terminals all derive something here ('' the empty string, longer ones their text).
    productive = _productive(grammar, everything)
    useful = _useful_rules(grammar, everything, productive)
    non_empty = _derives_non_empty(grammar, productive)

    spelled = {
        symbol
        for rhs, kinds in zip(grammar.rhs, grammar.is_terminal)
        for symbol, terminal in zip(rhs, kinds)
        if terminal and len(symbol) > 1
    }
    engine_terminals = grammar.terminals | {char for symbol in spelled for char in symbol}
    names = _rename(grammar, engine_terminals, set())
    taken = set(names.values()) | set(engine_terminals) | set(grammar.nonterminals)
    counters: dict[str, int] = {}

    variants: list[_Variant] = []
    by_lhs: dict[str, list[_Variant]] = {}

    def add(variant: _Variant) -> None:
        variants.append(variant)
        by_lhs.setdefault(variant.lhs, []).append(variant)

    for index, (lhs, rhs, kinds) in enumerate(zip(grammar.lhs, grammar.rhs, grammar.is_terminal)):
        if not all(terminal or symbol in productive for symbol, terminal in zip(rhs, kinds)):
            continue
        slots = []
        for symbol, terminal in zip(rhs, kinds):
            if terminal:
                if symbol == "":
                    slots.append(_Slot(None, ("",)))
                elif len(symbol) == 1:
                    slots.append(_Slot(((symbol,), None), None))
                else:
                    slots.append(_Slot((tuple(symbol), len(symbol)), None))
            else:
                keep = ((names[symbol],), None) if symbol in non_empty else None
                drop = (empty_trees[symbol],) if symbol in nullable else None
                slots.append(_Slot(keep, drop))
        # Written as the engine can take it: no '' and no terminal of several characters.
        plain = len(rhs) > 0 and all(len(symbol) == 1 for symbol, terminal in zip(rhs, kinds) if terminal)
        optional = sum(1 for slot in slots if slot.keep is not None and slot.drop is not None)
        if optional <= _MAX_OPTIONAL or len(slots) <= 2:
            for variant in _variants(names[lhs], lhs, slots, engine_terminals, plain):
                add(variant)
            continue
        # Cut into A -> X1 H1, H1 -> X2 H2, ..., H(k-2) -> X(k-1) Xk, each part a
        # helper whose items go straight into the node of A.
        helpers = [_fresh(f"{names[lhs]}'part", taken, counters) for _ in range(len(slots) - 2)]
        tail = slots[-1]
        for position in range(len(slots) - 2, -1, -1):
            head = slots[position]
            part_lhs = names[lhs] if position == 0 else helpers[position - 1]
            label = lhs if position == 0 else None
            for variant in _variants(part_lhs, label, [head, tail], engine_terminals, False):
                add(variant)
            if position:
                keep = ((helpers[position - 1],), None) if (head.keep or tail.keep) else None
                both_dropped: _Fixed | None = None
                if head.drop is not None and tail.drop is not None:
                    both_dropped = head.drop + (_Nested(tail.drop),)
                tail = _Slot(keep, both_dropped)

    productions: list[tuple[str, tuple[str, ...]]] = []
    recipes: list[tuple[_Shape, _Path]] = []
    seen: set[tuple[str, tuple[str, ...]]] = set()

    def emit(lhs: str, rhs: tuple[str, ...], shape: _Shape, path: _Path, original: bool) -> None:
        key = (lhs, rhs)
        if key in seen and not original:
            return
        if len(productions) >= _MAX_PRODUCTIONS:
            raise ValueError(
                f"the normalised grammar would have more than {_MAX_PRODUCTIONS:,} productions: "
                "its unit productions reach too many rules (long unit chains or large unit cycles)"
            )
        seen.add(key)
        productions.append(key)
        recipes.append((shape, path))

    # Unit productions are replaced, where they stand, by the rules their target
    # reaches (depth first, in order); a target already reached from the same
    # left-hand side adds nothing, which also ends unit cycles.
    reached: dict[str, set[str]] = {}
    for variant in variants:
        if not variant.unit:
            emit(variant.lhs, variant.rhs, variant.shape, None, variant.original)
            continue
        visited = reached.setdefault(variant.lhs, {variant.lhs})
        target = variant.rhs[0]
        if target in visited:
            continue
        visited.add(target)
        stack: list[tuple[Iterator[_Variant], _Path]] = [
            (iter(by_lhs.get(target, ())), (variant.shape, None))
        ]
        while stack:
            step = next(stack[-1][0], None)
            if step is None:
                stack.pop()
                continue
            path = stack[-1][1]
            if not step.unit:
                emit(variant.lhs, step.rhs, step.shape, path, False)
            elif step.rhs[0] not in visited:
                visited.add(step.rhs[0])
                stack.append((iter(by_lhs.get(step.rhs[0], ())), (step.shape, path)))

    return EngineForm(
        productions=tuple(productions),
        terminals=engine_terminals,
        start=names[grammar.start],
        accepts_empty=accepts_empty,
        normalized=True,
        inapplicable=tuple(index for index, ok in enumerate(useful) if not ok),
        renamed=tuple((name, new) for name, new in names.items() if name != new),
        _recipes=tuple(recipes),
        _empty_tree=empty_tree,
    )


def _derives_non_empty(grammar: _Grammar, productive: set[str]) -> set[str]:
    """Nonterminals that derive some non-empty string."""
    complete = [
        all(terminal or symbol in productive for symbol, terminal in zip(rhs, kinds))
        for rhs, kinds in zip(grammar.rhs, grammar.is_terminal)
    ]
    queue: deque[int] = deque(
        index
        for index, (rhs, kinds) in enumerate(zip(grammar.rhs, grammar.is_terminal))
        if complete[index] and any(terminal and symbol != "" for symbol, terminal in zip(rhs, kinds))
    )
    found: set[str] = set()
    while queue:
        lhs = grammar.lhs[queue.popleft()]
        if lhs in found:
            continue
        found.add(lhs)
        for user in grammar.users.get(lhs, ()):
            if complete[user]:
                queue.append(user)
    return found


def _variants(
    lhs: str, label: str | None, slots: Sequence[_Slot], engine_terminals: frozenset[str], plain: bool
) -> Iterable[_Variant]:
    """Every way to keep or leave out the slots (kept first), except the empty one."""
    # Each option is (kept, None) or (None, left out).
    choices = [
        ([(slot.keep, None)] if slot.keep is not None else [])
        + ([(None, slot.drop)] if slot.drop is not None else [])
        for slot in slots
    ]
    for combination in itertools.product(*choices):
        rhs: list[str] = []
        items: list[_Item] = []
        for kept, dropped in combination:
            if kept is not None:
                symbols, item = kept
                rhs.extend(symbols)
                items.append(item)
            else:
                items.append(dropped)
        if not rhs:
            continue
        original = plain and all(kept is not None for kept, _ in combination)
        unit = len(rhs) == 1 and rhs[0] not in engine_terminals
        yield _Variant(lhs, tuple(rhs), _Shape(label, tuple(items)), unit, original)
