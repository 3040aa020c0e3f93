"""Long low-ambiguity texts: character-level grammars for JSON, arithmetic and a
small programming language, with generators of texts of about a given length.

Each grammar is written with unit productions (A -> B) where that reads naturally;
`Grammar.productions` has them replaced by the productions of B, since the parser
applies a one-symbol rule only to a single character. Every system is given the
same unit-free productions, each in its own notation.
"""

from __future__ import annotations

import json
import random
import string
from dataclasses import dataclass
from typing import Callable

Production = tuple[str, tuple[str, ...]]


def chars(text: str) -> tuple[str, ...]:
    return tuple(text)


def without_units(productions: list[Production], terminals: frozenset[str]) -> list[Production]:
    """Replaces every unit production A -> B (B a nonterminal) by A -> w for each
    non-unit production B -> w reachable through units, keeping first-seen order
    and dropping duplicates."""
    by_lhs: dict[str, list[tuple[str, ...]]] = {}
    for lhs, rhs in productions:
        by_lhs.setdefault(lhs, []).append(rhs)

    def expand(lhs: str) -> list[tuple[str, ...]]:
        out: list[tuple[str, ...]] = []
        seen_units = {lhs}
        pending = [lhs]
        while pending:
            symbol = pending.pop(0)
            for rhs in by_lhs.get(symbol, []):
                if len(rhs) == 1 and rhs[0] not in terminals and rhs[0] in by_lhs:
                    if rhs[0] not in seen_units:
                        seen_units.add(rhs[0])
                        pending.append(rhs[0])
                elif rhs not in out:
                    out.append(rhs)
        return out

    return [(lhs, rhs) for lhs in by_lhs for rhs in expand(lhs)]


def reachable(productions: list[Production], start: str) -> list[Production]:
    """The productions of nonterminals reachable from `start`, in their order."""
    lhs_set = {lhs for lhs, _ in productions}
    seen, pending = {start}, [start]
    while pending:
        symbol = pending.pop()
        for lhs, rhs in productions:
            if lhs == symbol:
                for x in rhs:
                    if x in lhs_set and x not in seen:
                        seen.add(x)
                        pending.append(x)
    return [p for p in productions if p[0] in seen]


@dataclass(frozen=True)
class TextGrammar:
    name: str
    title: str
    natural: tuple[Production, ...]  # as written, with unit productions
    terminals: frozenset[str]
    make_text: Callable[[random.Random, int], str]
    start: str

    @property
    def productions(self) -> list[Production]:
        return reachable(without_units(list(self.natural), self.terminals), self.start)

    def production_list(self) -> list[tuple[str, list[str]]]:
        return [(lhs, list(rhs)) for lhs, rhs in self.productions]

    def nonterminals(self) -> list[str]:
        seen: list[str] = []
        for lhs, _ in self.productions:
            if lhs not in seen:
                seen.append(lhs)
        return seen

    def lark_grammar(self) -> tuple[str, str]:
        """The productions in Lark's notation (one-character string literals), and the start rule."""
        names = {lhs: f"n{i}_{lhs.lower()}" for i, lhs in enumerate(self.nonterminals())}
        lines = []
        for lhs in self.nonterminals():
            bodies = [" ".join(json.dumps(x) if x in self.terminals else names[x] for x in rhs)
                      for l, rhs in self.productions if l == lhs]
            lines.append(f"{names[lhs]}: " + "\n    | ".join(bodies))
        return "\n".join(lines) + "\n", names[self.start]

    def text(self, seed: int, length: int) -> str:
        return self.make_text(random.Random(f"{seed}:{self.name}:{length}"), length)


def alternatives(lhs: str, symbols: str) -> list[Production]:
    return [(lhs, (c,)) for c in symbols]


# --------------------------------------------------------------------------- JSON

STRING_CHARS = string.ascii_letters + string.digits + " .,-_!?"
ESCAPED = '"\\nt'

JSON_NATURAL: list[Production] = [
    ("Value", ("Object",)), ("Value", ("Array",)), ("Value", ("String",)), ("Value", ("Number",)),
    ("Value", chars("true")), ("Value", chars("false")), ("Value", chars("null")),
    ("Object", ("{", "}")), ("Object", ("{", "Members", "}")),
    ("Members", ("Pair",)), ("Members", ("Pair", ",", " ", "Members")),
    ("Pair", ("String", ":", " ", "Value")),
    ("Array", ("[", "]")), ("Array", ("[", "Elements", "]")),
    ("Elements", ("Value",)), ("Elements", ("Value", ",", " ", "Elements")),
    ("String", ('"', '"')), ("String", ('"', "Chars", '"')),
    ("Chars", ("Char",)), ("Chars", ("Char", "Chars")),
    *alternatives("Char", STRING_CHARS), ("Char", ("\\", "Escape")),
    *alternatives("Escape", ESCAPED),
    ("Number", ("Int",)), ("Number", ("Int", "Frac")), ("Number", ("Int", "Exp")),
    ("Number", ("Int", "Frac", "Exp")),
    ("Int", ("Digits",)), ("Int", ("-", "Digits")),
    ("Frac", (".", "Digits")),
    ("Exp", ("e", "Sign", "Digits")), ("Exp", ("e", "Digits")),
    *alternatives("Sign", "+-"),
    ("Digits", ("Digit",)), ("Digits", ("Digit", "Digits")),
    *alternatives("Digit", string.digits),
]
JSON_TERMINALS = frozenset(set(STRING_CHARS) | set(ESCAPED) | set('{}[]",: \\-.+e') | set("truefalsn"))


def json_data(rng: random.Random, depth: int = 0):
    """A record of generated data: words, numbers, flags, lists and nested records."""
    words = ["alpha", "Beta", "gamma", "delta", "id", "name", "value", "items", "tags", "Note", "count"]

    def text() -> str:
        out = " ".join(rng.choice(words) for _ in range(rng.randint(1, 4)))
        if rng.random() < 0.1:
            out += rng.choice(['\n', '"', '\\', '\t'])
        return out

    def scalar():
        kind = rng.random()
        if kind < 0.3:
            return text()
        if kind < 0.5:
            return rng.randint(-1000, 100000)
        if kind < 0.65:
            return round(rng.uniform(-100, 100), rng.randint(1, 4))
        if kind < 0.7:
            return rng.choice([1.5e-7, 2.25e21, -3e-5])
        if kind < 0.85:
            return rng.random() < 0.5
        return None

    record = {"id": rng.randint(0, 10 ** 6), "name": text()}
    for key in rng.sample(words, rng.randint(1, 4)):
        roll = rng.random()
        if roll < 0.2 and depth < 3:
            record[key] = json_data(rng, depth + 1)
        elif roll < 0.4:
            record[key] = [scalar() for _ in range(rng.randint(0, 5))]
        else:
            record[key] = scalar()
    return record


def json_text(rng: random.Random, length: int) -> str:
    """`json.dumps` of a list of records, as long as fits in `length` characters
    (padded with short numbers to come close)."""
    items: list = []
    misses = 0
    while misses < 20:
        item = json_data(rng) if misses < 3 else rng.choice([{"id": rng.randint(0, 99)}, "note", 2.5, True, None])
        if len(json.dumps(items + [item])) > length:
            misses += 1
        else:
            items.append(item)
    while len(json.dumps(items + [7])) <= length:
        items.append(rng.randint(0, 9))
    return json.dumps(items)


JSON_GRAMMAR = TextGrammar("json", "JSON documents (json.dumps)", tuple(JSON_NATURAL), JSON_TERMINALS,
                           json_text, "Value")

# --------------------------------------------------------------------------- arithmetic

VARIABLES = "xyzabc"


def arithmetic_natural(expr: str = "Expr", operand: str = "Var") -> list[Production]:
    term, factor = expr + "Term", expr + "Factor"
    return [
        (expr, (expr, "+", term)), (expr, (expr, "-", term)), (expr, (term,)),
        (term, (term, "*", factor)), (term, (term, "/", factor)), (term, (factor,)),
        (factor, ("(", expr, ")")), (factor, ("Num",)), (factor, (operand,)),
        ("Num", ("Digit",)), ("Num", ("Digit", "Num")),
        *alternatives("Digit", string.digits),
    ]


ARITHMETIC_NATURAL = arithmetic_natural() + alternatives("Var", VARIABLES)
ARITHMETIC_TERMINALS = frozenset(set("+-*/()") | set(string.digits) | set(VARIABLES))


def expression(rng: random.Random, budget: int, variables: Callable[[], str]) -> str:
    """An expression of roughly `budget` characters: operands and parenthesised
    sub-expressions joined by operators."""
    parts: list[str] = []
    used = 0
    while used < budget or not parts:
        if parts:
            parts.append(rng.choice("+-*/"))
        if budget - used > 12 and rng.random() < 0.25:
            inner = expression(rng, min(budget - used - 2, rng.randint(3, max(3, budget // 3))), variables)
            parts.append(f"({inner})")
        else:
            parts.append(variables() if rng.random() < 0.5 else str(rng.randint(0, 999)))
        used = sum(map(len, parts))
    return "".join(parts)


def arithmetic_text(rng: random.Random, length: int) -> str:
    return expression(rng, length - 3, lambda: rng.choice(VARIABLES))


ARITHMETIC_GRAMMAR = TextGrammar("arith", "arithmetic expressions", tuple(ARITHMETIC_NATURAL),
                                 ARITHMETIC_TERMINALS, arithmetic_text, "Expr")

# --------------------------------------------------------------------------- small language

LETTERS = "abcdefghklmnoprstuvwxyz"
PROGRAM_NATURAL: list[Production] = [
    ("Prog", ("Stmt",)), ("Prog", ("Stmt", "\n", "Prog")),
    ("Stmt", ("Id", "=", "Expr", ";")),
    ("Stmt", (*chars("print("), "Expr", ")", ";")),
    ("Stmt", (*chars("if("), "Cond", ")", "Block")),
    ("Stmt", (*chars("if("), "Cond", ")", "Block", *chars("else"), "Block")),
    ("Stmt", (*chars("while("), "Cond", ")", "Block")),
    ("Block", ("{", "}")), ("Block", ("{", "\n", "Prog", "\n", "}")),
    ("Cond", ("Expr", "<", "Expr")), ("Cond", ("Expr", ">", "Expr")), ("Cond", ("Expr", "=", "=", "Expr")),
    *arithmetic_natural("Expr", "Id"),
    ("Id", ("Letter",)), ("Id", ("Letter", "Id")),
    *alternatives("Letter", LETTERS),
]
PROGRAM_TERMINALS = frozenset(set(LETTERS) | set(string.digits) | set("=;(){}<>+-*/\n") | set("printifelsewh"))


def program_text(rng: random.Random, length: int) -> str:
    """Statements (assignments, prints, if/else and while blocks) up to `length` characters."""
    names = ["x", "y", "total", "count", "n", "k", "value", "acc"]

    def identifier() -> str:
        return rng.choice(names)

    def statements(budget: int, depth: int) -> list[str]:
        out: list[str] = []
        used = 0
        while used < budget or not out:
            roll = rng.random()
            expr = expression(rng, rng.randint(3, 20), identifier)
            if depth < 4 and budget - used > 60 and roll < 0.25:
                body = "\n".join(statements(min(budget - used - 30, rng.randint(20, max(20, budget // 2))),
                                            depth + 1))
                cond = f"{expr}{rng.choice(['<', '>', '=='])}{expression(rng, 4, identifier)}"
                keyword = rng.choice(["if", "while"])
                stmt = f"{keyword}({cond}){{\n{body}\n}}"
                if keyword == "if" and rng.random() < 0.3:
                    stmt += "else{}"
            elif roll < 0.4:
                stmt = f"print({expr});"
            else:
                stmt = f"{identifier()}={expr};"
            out.append(stmt)
            used += len(stmt) + 1
        return out

    return "\n".join(statements(length, 0))


PROGRAM_GRAMMAR = TextGrammar("program", "a small programming language", tuple(PROGRAM_NATURAL),
                              PROGRAM_TERMINALS, program_text, "Prog")

GRAMMARS = (JSON_GRAMMAR, ARITHMETIC_GRAMMAR, PROGRAM_GRAMMAR)
BY_NAME = {g.name: g for g in GRAMMARS}
