"""The systems compared, each set up with a grammar in its own form.

`prepare(grammar)` does everything that is not parsing (imports, grammar
conversion, parser construction) and returns a function of one string that
parses it and returns whether it was accepted. Only calls of that function are
timed.
"""

from __future__ import annotations

import importlib.machinery
import sys
import types
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from workloads import Grammar

ROOT = Path(__file__).resolve().parents[2]

Parse = Callable[[str], bool]


@dataclass(frozen=True)
class System:
    key: str
    label: str
    adaptation: str  # how the grammar and the call were adapted, for the report
    prepare: Callable[[Grammar], Parse]


def load_bench_run():
    """bench/run.py as the module `bench_run` (it builds and imports `_naive_engine`)."""
    if "bench_run" in sys.modules:
        return sys.modules["bench_run"]
    path = ROOT / "bench" / "run.py"
    loader = importlib.machinery.SourceFileLoader("bench_run", str(path))
    module = types.ModuleType(loader.name)
    module.__file__ = str(path)
    sys.modules[loader.name] = module
    loader.exec_module(module)
    return module


# --------------------------------------------------------------------------- ours


def prepare_parse_cnf(grammar: Grammar) -> Parse:
    import _engine

    rules = _engine.to_cnf_tagged(grammar.production_list(), grammar.terminals)
    parse, start = _engine.parse_cnf, grammar.start
    return lambda s: parse(s, rules, start) is not None


def prepare_grammar_bpc(grammar: Grammar) -> Parse:
    import _engine

    productions, terminals, start = grammar.production_list(), grammar.terminals, grammar.start
    score = _engine.grammar_bpc
    return lambda s: score(productions, [s], terminals, start)["parse_failures"] == 0.0


def prepare_naive(grammar: Grammar) -> Parse:
    naive = load_bench_run().load_naive()
    rules = naive.to_cnf_tagged(grammar.production_list(), grammar.terminals)
    parse, start = naive.parse_cnf, grammar.start
    return lambda s: parse(s, rules, start) is not None


# --------------------------------------------------------------------------- NLTK


def nltk_productions(grammar: Grammar, probabilistic: bool = False) -> list:
    from nltk.grammar import Nonterminal, Production, ProbabilisticProduction

    per_lhs = {lhs: sum(1 for l, _ in grammar.productions if l == lhs) for lhs in grammar.nonterminals()}
    out = []
    for lhs, rhs in grammar.productions:
        body = [x if x in grammar.terminals else Nonterminal(x) for x in rhs]
        if probabilistic:
            out.append(ProbabilisticProduction(Nonterminal(lhs), body, prob=1.0 / per_lhs[lhs]))
        else:
            out.append(Production(Nonterminal(lhs), body))
    return out


def first_tree(chart, edge):
    """One tree for a complete edge: the first child-pointer list at every node."""
    from nltk.parse.chart import LeafEdge
    from nltk.tree import Tree

    if isinstance(edge, LeafEdge):
        return edge.lhs()
    children = chart.child_pointer_lists(edge)[0]
    return Tree(edge.lhs().symbol(), [first_tree(chart, child) for child in children])


def prepare_nltk_chart(grammar: Grammar) -> Parse:
    import nltk
    from nltk.grammar import CFG, Nonterminal

    # max_time=None: NLTK otherwise gives up after 5 s; the report has its own cap.
    parser = nltk.ChartParser(CFG(Nonterminal(grammar.start), nltk_productions(grammar)), max_time=None)
    start = Nonterminal(grammar.start)
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 20000))

    def parse(s: str) -> bool:
        tokens = list(s)
        chart = parser.chart_parse(tokens)
        for edge in chart.select(start=0, end=len(tokens), is_complete=True, lhs=start):
            first_tree(chart, edge)
            return True
        return False

    return parse


def prepare_nltk_viterbi(grammar: Grammar) -> Parse:
    import nltk
    from nltk.grammar import PCFG, Nonterminal

    pcfg = PCFG(Nonterminal(grammar.start), nltk_productions(grammar, probabilistic=True))
    parser = nltk.ViterbiParser(pcfg, max_time=None)
    return lambda s: next(iter(parser.parse(list(s))), None) is not None


# --------------------------------------------------------------------------- Lark


def lark_grammar(grammar: Grammar) -> str:
    names = {lhs: f"n{i}_{lhs.lower()}" for i, lhs in enumerate(grammar.nonterminals())}
    lines = []
    for lhs in grammar.nonterminals():
        bodies = [" ".join('"' + x + '"' if x in grammar.terminals else names[x] for x in rhs)
                  for l, rhs in grammar.productions if l == lhs]
        lines.append(f"{names[lhs]}: " + " | ".join(bodies))
    return "\n".join(lines) + "\n", names[grammar.start]


def prepare_lark_cyk(grammar: Grammar) -> Parse:
    from lark import Lark
    from lark.exceptions import LarkError

    text, start = lark_grammar(grammar)
    parser = Lark(text, start=start, parser="cyk")

    def parse(s: str) -> bool:
        try:
            parser.parse(s)
        except LarkError:
            return False
        return True

    return parse


# --------------------------------------------------------------------------- pyformlang


def prepare_pyformlang(grammar: Grammar) -> Parse:
    from pyformlang.cfg import CFG, Production, Terminal, Variable

    productions = {
        Production(Variable(lhs), [Terminal(x) if x in grammar.terminals else Variable(x) for x in rhs])
        for lhs, rhs in grammar.productions
    }
    cfg = CFG(start_symbol=Variable(grammar.start), productions=productions)
    cfg.to_normal_form()  # kept inside `cfg`: contains() reuses it
    return lambda s: cfg.contains(s)


SYSTEMS = (
    System("parse_cnf", "`_engine.parse_cnf`",
           "rules from `_engine.to_cnf_tagged` once; one `parse_cnf(s, rules, 'S')` call per string, "
           "returning the derivation's tags",
           prepare_parse_cnf),
    System("grammar_bpc", "`_engine.grammar_bpc`",
           "one `grammar_bpc(productions, [s], terminals, 'S')` call per string: the CNF conversion, "
           "one parse and the scoring of that one-string corpus",
           prepare_grammar_bpc),
    System("naive", "`_naive_engine.parse_cnf`",
           "the straightforward C++ build of the same parser (chart of hash sets keyed by name, rule list "
           "scanned per span and split), built by bench/run.py; same rules and call as `parse_cnf`",
           prepare_naive),
    System("nltk_chart", "NLTK ChartParser",
           "`nltk.CFG` of the same productions (terminals as one-character strings), default "
           "bottom-up left-corner strategy, its 5 s time limit off (`max_time=None`); timed: "
           "`chart_parse(list(s))` plus reading one tree (first child-pointer list at every node). "
           "NLTK's own `parse()` enumerates every tree, which `S -> S S` makes exponential "
           "(it refuses past 10^6 tree nodes at about 30 characters)",
           prepare_nltk_chart),
    System("nltk_viterbi", "NLTK ViterbiParser",
           "`nltk.PCFG` of the same productions, each left-hand side's productions equally likely, "
           "its 5 s time limit off (`max_time=None`); "
           "timed: `next(parser.parse(list(s)))`, the most probable tree",
           prepare_nltk_viterbi),
    System("lark_cyk", "Lark CYK",
           "`Lark(grammar, parser='cyk')` with the rule `n0_s: \"(\" n0_s \")\" | \"(\" \")\" | n0_s n0_s` "
           "(terminals as one-character string literals; Lark converts to CNF when it is built); timed: "
           "`parse(s)` including Lark's lexer, returning a tree",
           prepare_lark_cyk),
    System("pyformlang", "pyformlang CYK",
           "`pyformlang.cfg.CFG` of `Variable`/`Terminal` productions, converted to normal form once "
           "before timing (`contains` reuses it); timed: `cfg.contains(s)`, membership only, no tree",
           prepare_pyformlang),
)

BY_KEY = {system.key: system for system in SYSTEMS}
