"""Setups for measurements in a child process (see child.py): each returns the call to time."""

from __future__ import annotations

import importlib
from typing import Callable

import texts


def parse_cnf_text(grammar_name: str, seed: int, length: int, module: str = "_engine") -> Callable[[], object]:
    """`parse_cnf` of one generated text; the call returns the derivation's tags or None."""
    engine = importlib.import_module(module)
    grammar = texts.BY_NAME[grammar_name]
    text = grammar.text(seed, length)
    rules = engine.to_cnf_tagged(grammar.production_list(), grammar.terminals)
    parse, start = engine.parse_cnf, grammar.start
    return lambda: parse(text, rules, start)


def lark_earley_text(grammar_name: str, seed: int, length: int) -> Callable[[], object]:
    """Lark's Earley parser (dynamic lexer) on the same text; the parser is built before timing."""
    from lark import Lark
    from lark.exceptions import LarkError

    grammar = texts.BY_NAME[grammar_name]
    text = grammar.text(seed, length)
    source, start = grammar.lark_grammar()
    parser = Lark(source, start=start, parser="earley", lexer="dynamic")

    def parse() -> bool:
        try:
            parser.parse(text)
        except LarkError:
            return False
        return True

    return parse


def induce(module: str, train: list[str], test: list[str], alphabet: list[str]) -> Callable[[], object]:
    engine = importlib.import_module(module)
    return lambda: engine.induce_full(train, test, alphabet)


def short_calls(module: str, grammar_name: str, length: int, count: int) -> Callable[[], object]:
    """`parse_cnf` on `count` strings of `length` characters cut from a generated
    text (some parse, most do not), one call each with the same rule list; the call
    returns how many parsed."""
    engine = importlib.import_module(module)
    grammar = texts.BY_NAME[grammar_name]
    text = grammar.text(7, max(4 * count, 2000))
    strings = [text[i:i + length] for i in range(0, count * 3, 3)][:count]
    rules = engine.to_cnf_tagged(grammar.production_list(), grammar.terminals)
    parse, start = engine.parse_cnf, grammar.start
    return lambda: sum(parse(s, rules, start) is not None for s in strings)
