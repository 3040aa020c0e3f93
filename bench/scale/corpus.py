"""Induction on real corpora: `_engine.induce_full` on 10^4 to 10^5 lines, and its growth.

    bench/.venv/bin/python bench/scale/corpus.py [--quick] [--cap SECONDS] [--naive-cap SECONDS] [--build DIR]
                                                 [--baseline DIR_OR_REVISION]

Corpora (corpora.py): lines of the standard library's source (lines holding a
capital S left out) and lower-cased English prose; every fourth line is for
testing. For each size, `induce_full` runs in a child process of its own; the
growth column is the time divided by the time for a quarter of the lines. With
--baseline (a build directory or a git revision, which is then built), that earlier
`_engine` runs the same inductions in the same run, each right after the current
one. The
straightforward build (`_naive_engine`) runs on growing prefixes of each corpus
while it stays within --naive-cap, with `_engine` on the same prefix, and the
results must be identical. Writes bench/results/corpus.md.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import common  # noqa: E402
import corpora  # noqa: E402
from child import Outcome, measure_in_child  # noqa: E402

SIZES = (2500, 10000, 25000, 40000, 100000)
QUICK_SIZES = (2500, 10000)
NAIVE_SIZES = (250, 1000, 2500, 10000)
GROWTH_GOAL = 4.5  # time for 4x the lines / time for the lines


def describe(outcome: Outcome, cap: float) -> str:
    if outcome.status == "stopped":
        return f"> {cap:g} s, stopped"
    if outcome.status != "ok":
        return outcome.status
    return common.fmt_time(outcome.seconds)


def same_grammar(before: Outcome, now: Outcome) -> bool:
    # The baseline may price unparsed bytes differently in the last digits of the
    # scores: the induced grammar is what must agree.
    return all((before.result or {}).get(key) == (now.result or {}).get(key) for key in ("strategy", "productions"))


def induce(module: str, lines: list[str], cap: float, pythonpath: list[str]) -> Outcome:
    train, test = corpora.split(lines)
    return measure_in_child("jobs:induce", (module, train, test, corpora.alphabet_of(train, test)), cap=cap,
                            repeats=5, budget=2.0, pythonpath=pythonpath)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="2,500 and 10,000 lines only")
    parser.add_argument("--cap", type=float, default=300.0, help="time cap of one `_engine` induction")
    parser.add_argument("--sweeps", type=int, default=2,
                        help="runs of `_engine` on every size, one sweep after another; the quickest counts")
    parser.add_argument("--naive-cap", type=float, default=60.0, help="time cap of one naive induction")
    parser.add_argument("--baseline", help="a build directory holding an earlier `_engine`, or a git revision "
                                           f"to build (e.g. {common.BASELINE_REVISION}), to run beside")
    common.add_build_argument(parser)
    args = parser.parse_args()
    sizes = QUICK_SIZES if args.quick else SIZES
    pythonpath = common.prepare_build(args.build)
    baseline = common.prepare_baseline(args.baseline) if args.baseline else None
    import _engine

    rows, naive_rows, mismatches = [], [], []
    for name, make in corpora.CORPORA.items():
        common.log(f"... reading {name}")
        lines = make(max(sizes))
        outcomes: dict[int, Outcome] = {}
        befores: dict[int, Outcome] = {}
        for size in sizes:
            if size > len(lines):
                common.log(f"  {name}: only {len(lines)} lines, {size} left out")
                continue
            outcome = outcomes[size] = induce("_engine", lines[:size], args.cap, pythonpath)
            common.log(f"  {name} {size:>6}: {describe(outcome, args.cap)}")
            if baseline:
                before = befores[size] = induce("_engine", lines[:size], args.cap, [baseline])
                common.log(f"  {name} {size:>6} baseline: {describe(before, args.cap)}")
                if before.status == "ok" and not same_grammar(before, outcome):
                    mismatches.append(f"{name}, first {size} lines, against the baseline")
            if outcome.status != "ok":
                break
        # Later sweeps run `_engine` again on every size, each run of a size well apart
        # in time from the others, and keep the quickest: a slow spell of the machine
        # then rarely hits every run of a size.
        for sweep in range(1, args.sweeps):
            for size, outcome in outcomes.items():
                if outcome.status != "ok":
                    continue
                again = induce("_engine", lines[:size], args.cap, pythonpath)
                common.log(f"  {name} {size:>6} sweep {sweep + 1}: {describe(again, args.cap)}")
                if again.status == "ok" and again.seconds < outcome.seconds:
                    outcomes[size] = again
        for size, outcome in outcomes.items():
            result = outcome.result or {}
            quarter = outcomes.get(size // 4)
            growth = (f"{outcome.seconds / quarter.seconds:.2f}"
                      if outcome.status == "ok" and quarter is not None and quarter.status == "ok" else "—")
            cells: list[str] = []
            if size in befores:
                before = befores[size]
                same = before.status == "ok" and same_grammar(before, outcome)
                ratio = (common.fmt_ratio(before.seconds / outcome.seconds)
                         if before.status == "ok" and outcome.status == "ok" and outcome.seconds else "—")
                cells = [describe(before, args.cap), ratio, "yes" if same else "**NO**"]
            train, test = corpora.split(lines[:size])
            characters = sum(map(len, lines[:size]))
            per_kchar = (common.fmt_time(outcome.seconds / characters * 1000) if outcome.status == "ok" else "—")
            rows.append([name, f"{len(train):,} / {len(test):,}", f"{characters / 1e6:.2f} M",
                         str(len(corpora.alphabet_of(train, test))), result.get("strategy", "—"),
                         str(len(result.get("productions", ()))), describe(outcome, args.cap), per_kchar, growth,
                         *cells])
        for size in NAIVE_SIZES:
            naive = induce("_naive_engine", lines[:size], args.naive_cap, pythonpath)
            common.log(f"  {name} naive {size:>6}: {describe(naive, args.naive_cap)}")
            if naive.status != "ok":
                naive_rows.append([name, f"{size:,}", "—", describe(naive, args.naive_cap), "—", "—"])
                break
            engine = induce("_engine", lines[:size], args.cap, pythonpath)
            same = engine.status == "ok" and engine.result == naive.result
            if not same:
                mismatches.append(f"{name}, first {size} lines")
            naive_rows.append([name, f"{size:,}", describe(engine, args.cap), describe(naive, args.naive_cap),
                               common.fmt_ratio(naive.seconds / engine.seconds) if engine.seconds else "—",
                               "yes" if same else "**NO**"])
            if naive.seconds > args.naive_cap / 4:
                break

    md = common.header_lines("Induction on real corpora" + (" (quick)" if args.quick else ""), _engine.__file__, [])
    md += ["Corpora: `source` is the non-blank lines of the standard library's `.py` files in sorted path order "
           "(third-party packages left out, lines holding a capital S left out); `english` is lower-cased, "
           "stripped, non-blank lines of the licence shipped with Python, the interpreter's help topics, the "
           "standard library's docstrings (test suites left out) and then the system's licence and package "
           "copyright texts. The first N lines of each, every fourth for testing. Time: `induce_full` in a "
           f"child process, best of up to 5 runs within 2 s, and of {args.sweeps} such sweeps over the sizes; an `_engine` run is capped at {args.cap:g} s.", ""]
    md += ["## `_engine.induce_full`", "",
           f"Growth: time divided by the time for a quarter of the lines (goal ≤ {GROWTH_GOAL:g}).", ""]
    baseline_header = ["baseline", "baseline / now", "same grammar"] if baseline else []
    if baseline:
        md += [f"Baseline: `_engine` built from `{args.baseline}`, run in the same child-process way right after "
               "each current run.", ""]
    md += common.table(["corpus", "train / test lines", "characters", "alphabet", "strategy", "productions",
                        "`induce_full`", "per 1,000 characters", "growth (4x lines)", *baseline_header], rows)
    md += ["## Against the straightforward build", "",
           f"`_naive_engine.induce_full` on the first lines of each corpus, growing while one run stays within "
           f"a quarter of {args.naive_cap:g} s (stopped past {args.naive_cap:g} s); `_engine` on the same lines; "
           "results compared whole.", ""]
    md += common.table(["corpus", "lines", "`_engine`", "naive", "ratio", "identical"], naive_rows)
    common.write_report(common.results_path("corpus", args.label), md)
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
