"""Grammars with many nonterminals: `_engine` against the straightforward build.

    bench/.venv/bin/python bench/scale/dense.py [--quick] [--cap SECONDS] [--build DIR]

Random grammars of 40 to 200 nonterminals and 400 to 4,000 productions (fixed
seed, random_grammars.py), strings of 60-100 characters sampled from each.
`parse_cnf` per string (rules converted once) and `grammar_bpc` over the strings;
the straightforward build `_naive_engine` runs on the shortest strings first until
--cap seconds are spent per grammar and function, `_engine` on all; ratios are on
the strings both ran, whose results must be identical. Writes bench/results/dense.md.
"""

from __future__ import annotations

import argparse
import importlib
import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import common  # noqa: E402
from random_grammars import RandomGrammar, Sampler, random_grammar  # noqa: E402

CONFIGS = ((40, 400), (80, 1000), (120, 2000), (200, 4000))
QUICK_CONFIGS = ((40, 400), (200, 4000))
RATIO_GOAL = 500.0


def best_time(call, *args, repeats: int = 3, budget: float = 1.0):
    best, spent, result = float("inf"), 0.0, None
    for run in range(repeats):
        if run and spent > budget:
            break
        t0 = time.perf_counter()
        result = call(*args)
        t = time.perf_counter() - t0
        best, spent = min(best, t), spent + t
    return best, result


def bench_grammar(engine, naive, grammar: RandomGrammar, strings: list[str], cap: float) -> tuple[list[str], bool]:
    rules = engine.to_cnf_tagged(grammar.production_list(), grammar.terminals)
    if naive.to_cnf_tagged(grammar.production_list(), grammar.terminals) != rules:
        return [f"{grammar.nonterminals}", f"{grammar.rules:,}", "conversion differs"], False
    identical = True
    order = sorted(range(len(strings)), key=lambda i: len(strings[i]))
    engine_all = engine_common = naive_total = 0.0
    compared = accepted = 0
    for i in order:
        t_engine, tags = best_time(engine.parse_cnf, strings[i], rules, grammar.start)
        engine_all += t_engine
        accepted += tags is not None
        if naive_total < cap:
            t_naive, naive_tags = best_time(naive.parse_cnf, strings[i], rules, grammar.start, repeats=1)
            naive_total += t_naive
            engine_common += t_engine
            compared += 1
            identical &= naive_tags == tags
    # grammar_bpc over the strings the naive parse got through (the cost of one parse each).
    subset = [strings[i] for i in order[:compared]]
    args = (grammar.production_list(), subset, grammar.terminals, grammar.start)
    t_bpc, metrics = best_time(engine.grammar_bpc, *args)
    t_bpc_all, _ = best_time(engine.grammar_bpc, grammar.production_list(), strings, grammar.terminals, grammar.start)
    t_bpc_naive, naive_metrics = best_time(naive.grammar_bpc, *args, repeats=1)
    identical &= metrics == naive_metrics
    parse_ratio = naive_total / engine_common
    bpc_ratio = t_bpc_naive / t_bpc
    row = [str(grammar.nonterminals), f"{grammar.rules:,}", f"{len(rules):,}", f"{accepted}/{len(strings)}",
           common.fmt_time(engine_all / len(strings)), f"{compared}/{len(strings)}",
           common.fmt_time(naive_total / compared), common.fmt_ratio(parse_ratio),
           common.fmt_time(t_bpc_all), common.fmt_ratio(bpc_ratio),
           "met" if min(parse_ratio, bpc_ratio) >= RATIO_GOAL else "**not met**", "yes" if identical else "**NO**"]
    return row, identical


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="two grammars, 8 strings each, cap 10 s")
    parser.add_argument("--cap", type=float, default=30.0, help="naive seconds per grammar and function")
    parser.add_argument("--strings", type=int, default=20, help="strings per grammar")
    parser.add_argument("--seed", type=int, default=20240611)
    common.add_build_argument(parser)
    args = parser.parse_args()
    configs = QUICK_CONFIGS if args.quick else CONFIGS
    if args.quick:
        args.cap, args.strings = min(args.cap, 10.0), min(args.strings, 8)
    common.prepare_build(args.build)
    engine = importlib.import_module("_engine")
    naive = importlib.import_module("_naive_engine")

    rows, all_identical = [], True
    for nonterminals, rules in configs:
        grammar = random_grammar(nonterminals, rules, args.seed)
        strings = Sampler(grammar, 100).strings(random.Random(f"{args.seed}:strings:{rules}"), args.strings, 60, 100)
        common.log(f"... {nonterminals} nonterminals, {rules} productions")
        row, identical = bench_grammar(engine, naive, grammar, strings, args.cap)
        common.log("    " + " | ".join(row))
        rows.append(row)
        all_identical &= identical

    md = common.header_lines("Grammars with many nonterminals" + (" (quick)" if args.quick else ""),
                             engine.__file__, [f"- `_naive_engine`: {naive.__file__}", ""])
    md += [f"Random grammars (seed {args.seed}): each nonterminal has one production A -> c, the rest are "
           "mostly A -> B C, some A -> c, A -> c B, A -> B c, A -> B C D, over 12 letters; "
           f"{args.strings} strings of 60-100 characters sampled from each. `parse_cnf` is timed per string "
           "(best of up to 3), the naive build once per string, shortest first, until "
           f"{args.cap:g} s are spent; `grammar_bpc` is timed over the strings the naive parse reached "
           f"(ratio) and over all of them (time). Goal: both ratios ≥ {RATIO_GOAL:g}x.", ""]
    md += common.table(["nonterminals", "productions", "CNF rules", "derived", "`parse_cnf` per string",
                        "naive ran", "naive per string", "parse ratio", "`grammar_bpc` (all)", "bpc ratio",
                        "goal", "identical"], rows)
    common.write_report(common.results_path("dense", args.label), md)
    return 0 if all_identical else 1


if __name__ == "__main__":
    sys.exit(main())
