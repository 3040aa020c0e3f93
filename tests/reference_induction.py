"""Plain-Python model of the induction pipeline, written for clarity.

It counts character pairs, ranks them (equal counts keep the order in which
their pairs were first counted), builds the "wrap" and "chain" candidates,
prunes each by parsing the training strings and keeps the one with the lowest
score on the test strings. Conversion, parsing and scoring come from the plain
model in reference_model, so a comparison with the native module checks the
pipeline's own logic. Only fit for small inputs.
"""

from __future__ import annotations

import math

from reference_model import grammar_bpc, parse_cnf, to_cnf_tagged

MIN_PAIR_COUNT = 3
MAX_CHAIN_PAIRS = 6
MIN_USE_SHARE = 0.01
PROTECTED_RHS_LEN = 2
START = "S"


def collect_corpus_stats(corpus_train):
    """(boundary_counts, bigram_counts), each a dict in first-counted order."""
    boundary, bigram = {}, {}
    for s in corpus_train:
        if len(s) < 2:
            continue
        key = (s[0], s[-1])
        boundary[key] = boundary.get(key, 0) + 1
        for pair in zip(s, s[1:]):
            bigram[pair] = bigram.get(pair, 0) + 1
    return boundary, bigram


def rank_pairs(counts):
    return sorted(counts.items(), key=lambda item: -item[1])


def build_wrap_grammar(boundary, bigram):
    productions = []
    for (a, b), count in rank_pairs(boundary):
        if count >= MIN_PAIR_COUNT and bigram.get((a, b), 0) >= MIN_PAIR_COUNT:
            productions += [(START, [a, START, b]), (START, [a, b])]
    return productions + [(START, [START, START])]


def build_chain_grammar(bigram, alphabet):
    productions = []
    taken = 0
    for (a, b), count in rank_pairs(bigram):
        if taken < MAX_CHAIN_PAIRS and count >= MIN_PAIR_COUNT:
            productions += [(START, [a, b]), (START, [a, b, START])]
            taken += 1
    productions += [(START, [c]) for c in alphabet]
    return productions + [(START, [START, START])]


def build_candidates(corpus_train, alphabet):
    boundary, bigram = collect_corpus_stats(corpus_train)
    return [
        ("wrap", build_wrap_grammar(boundary, bigram)),
        ("chain", build_chain_grammar(bigram, alphabet)),
    ]


def production_uses(productions, corpus_train, terminals, parser=None):
    """Uses per production over the parses of `corpus_train`. `parser`, a module with
    to_cnf_tagged and parse_cnf, stands in for the plain model on inputs too large
    for it (the benchmark's corpora); the tests never pass one."""
    convert, parse = (to_cnf_tagged, parse_cnf) if parser is None else (parser.to_cnf_tagged, parser.parse_cnf)
    rules = convert(productions, terminals)
    uses = [0] * len(productions)
    for s in corpus_train:
        for tag in parse(s, rules, START) or []:
            if tag >= 0:
                uses[tag] += 1
    return uses


def prune_by_usage(productions, corpus_train, terminals, parser=None):
    uses = production_uses(productions, corpus_train, terminals, parser)
    total = sum(uses)
    if total == 0:
        return list(productions)
    return [
        p
        for p, used in zip(productions, uses)
        if used / total >= MIN_USE_SHARE or len(p[1]) <= PROTECTED_RHS_LEN
    ]


def render_production(production):
    lhs, rhs = production
    return lhs + "->" + "".join(rhs)


def induce_full(corpus_train, corpus_test, alphabet):
    terminals = set(alphabet)
    best = ("", math.inf, [])
    for strategy, productions in build_candidates(corpus_train, alphabet):
        pruned = prune_by_usage(productions, corpus_train, terminals)
        if not pruned:
            continue
        score = grammar_bpc(pruned, corpus_test, terminals, START)["bpc_with_lib"]
        if score < best[1]:
            best = (strategy, score, pruned)
    strategy, bpc, productions = best
    return {
        "strategy": strategy,
        "bpc": bpc,
        "grammar": [render_production(p) for p in productions],
        "productions": [(lhs, list(rhs)) for lhs, rhs in productions],
    }
