"""Long low-ambiguity texts: `_engine.parse_cnf` against Lark's Earley parser.

    bench/.venv/bin/python bench/scale/long_texts.py [--cap SECONDS] [--quick] [--build DIR] [--label L]

Character-level grammars for JSON documents, arithmetic expressions and a small
programming language (texts.py), texts of 100 to 50,000 characters. Every
measurement runs in a child process of its own: time of the parse alone (the
grammar is converted and the parser built before the clock starts) and the child's
peak resident size. A system is stopped for a grammar once one text takes more
than --cap seconds. Writes bench/results/long_texts.md and long_texts.png.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import json
import sys
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import common  # noqa: E402
import texts  # noqa: E402
from child import Outcome, measure_in_child  # noqa: E402

LENGTHS = (100, 300, 1000, 3000, 10000, 20000, 50000)
QUICK_LENGTHS = (100, 300, 1000, 3000)
SPEED_GOAL = 20.0      # Lark Earley time / parse_cnf time, at every length
MEMORY_GOAL_MB = 100   # parse_cnf's peak at MEMORY_GOAL_AT characters
MEMORY_GOAL_AT = 20000
ENGINE_MEMORY_LIMIT_MB = 6144  # address space of a parse_cnf child: a larger chart raises MemoryError


@dataclass(frozen=True)
class System:
    key: str
    label: str
    setup: str
    memory_limit_mb: int | None


SYSTEMS = (
    System("parse_cnf", "`_engine.parse_cnf`", "jobs:parse_cnf_text", ENGINE_MEMORY_LIMIT_MB),
    System("lark", "Lark Earley", "jobs:lark_earley_text", None),
)


@dataclass
class Series:
    points: dict[int, Outcome] = field(default_factory=dict)
    stopped_at: int | None = None


def cell(outcome: Outcome | None, cap: float) -> str:
    if outcome is None:
        return "—"
    if outcome.status == "stopped":
        return f"> {cap:g} s, stopped"
    if outcome.status == "memory":
        return f"MemoryError (> {ENGINE_MEMORY_LIMIT_MB / 1024:g} GB)"
    if outcome.status == "error":
        return "error"
    return common.fmt_time(outcome.seconds) + ("" if outcome.result["accepted"] else " **(rejected)**")


def plot(results: dict[str, dict[str, Series]], lengths: dict[str, dict[int, int]], cap: float, path: Path,
         before: dict | None = None) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    styles = {"parse_cnf": ("#d62728", "o"), "lark": ("#2ca02c", "P")}
    fig, axes = plt.subplots(1, len(texts.GRAMMARS), figsize=(14, 5), sharey=True)
    for ax, grammar in zip(axes, texts.GRAMMARS):
        for system in SYSTEMS:
            series = results[grammar.name][system.key]
            color, marker = styles[system.key]
            done = [(lengths[grammar.name][n], o.seconds) for n, o in series.points.items() if o.status == "ok"]
            # Legend labels must not start with "_" (matplotlib hides those).
            label = "parse_cnf (_engine)" if system.key == "parse_cnf" else system.label
            ax.plot([x for x, _ in done], [y for _, y in done], "-", color=color, marker=marker, label=label)
            if series.stopped_at is not None:
                over = series.points[series.stopped_at]
                ax.plot([lengths[grammar.name][series.stopped_at]], [cap], color=color, markersize=9,
                        **({"marker": "x"} if over.status == "memory" else
                           {"marker": marker, "markerfacecolor": "white"}))
        if before and grammar.name in before:
            points = before[grammar.name]
            ax.plot([p[0] for p in points], [p[1] for p in points], "--", color="#d62728", alpha=0.45,
                    marker="o", markersize=3, label=f"parse_cnf ({before['label']})")
        ax.axhline(cap, color="grey", linewidth=0.8, linestyle="--")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("text length (characters)")
        ax.set_title(grammar.title, fontsize=10)
        ax.grid(True, which="major", alpha=0.3)
    axes[0].set_ylabel("time per text (s)")
    axes[0].legend(fontsize=9)
    fig.suptitle(f"Parse time per text, log-log (on the dashed line: hollow = stopped over {cap:g} s, "
                 "x = MemoryError)", fontsize=12)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def compare_derivations(data: dict, before: dict) -> tuple[int, list[str]]:
    """How many texts both runs parsed, and which of them got different derivations.

    Both map a grammar's name to [length, seconds, digest, asked length] entries.
    """
    compared, differing = 0, []
    for grammar, points in data.items():
        earlier = {p[3]: p[2] for p in before.get(grammar, []) if len(p) > 3}
        for _, _, digest, n in points:
            if n in earlier:
                compared += 1
                if earlier[n] != digest:
                    differing.append(f"{grammar} at {n}")
    return compared, differing


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cap", type=float, default=60.0, help="stop a system once one text takes longer")
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--quick", action="store_true", help="lengths up to 3,000, cap 5 s")
    parser.add_argument("--no-plot", action="store_true")
    parser.add_argument("--before", default="baseline",
                        help="label of an earlier run whose parse_cnf times the plot shows dashed ('' for none)")
    common.add_build_argument(parser)
    args = parser.parse_args()
    lengths = QUICK_LENGTHS if args.quick else LENGTHS
    if args.quick:
        args.cap = min(args.cap, 5.0)
    pythonpath = common.prepare_build(args.build)
    import _engine

    results: dict[str, dict[str, Series]] = {}
    actual: dict[str, dict[int, int]] = {}
    for grammar in texts.GRAMMARS:
        actual[grammar.name] = {n: len(grammar.text(args.seed, n)) for n in lengths}
        results[grammar.name] = {}
        for system in SYSTEMS:
            series = results[grammar.name][system.key] = Series()
            for n in lengths:
                if series.stopped_at is not None:
                    break
                outcome = measure_in_child(system.setup, (grammar.name, args.seed, n), cap=args.cap, repeats=3,
                                           memory_limit_mb=system.memory_limit_mb, pythonpath=pythonpath,
                                           summarize=True)
                series.points[n] = outcome
                common.log(f"  {grammar.name:>8} {system.key:>9} {actual[grammar.name][n]:>6}: "
                           f"{cell(outcome, args.cap)}, peak {common.fmt_mb(outcome.peak_rss_mb)}"
                           + (f"\n{outcome.error}" if outcome.error else ""))
                if outcome.status in ("stopped", "memory", "error"):
                    series.stopped_at = n

    try:
        lark_version = importlib.metadata.version("lark")
    except importlib.metadata.PackageNotFoundError:
        lark_version = "not installed"
    md = common.header_lines(
        "Long low-ambiguity texts: `_engine.parse_cnf` and Lark's Earley parser" + (" (quick)" if args.quick else ""),
        _engine.__file__, [f"- Lark {lark_version}, `Lark(grammar, parser='earley', lexer='dynamic')`", ""])
    md += ["Each system gets the same unit-free productions (unit productions of the grammar as written are "
           "replaced by what they lead to); `_engine` gets them through `to_cnf_tagged`, Lark as rules over "
           "one-character string literals. Only the parse is timed (best of up to 3 runs within 1 s), each "
           f"text in a child process of its own; memory is that child's peak resident size (the interpreter "
           f"and imports included; 'before' is the peak before the parse). A system is stopped once a text "
           f"takes more than {args.cap:g} s; `parse_cnf` children may use {ENGINE_MEMORY_LIMIT_MB / 1024:g} GB "
           f"of address space. Goals: Lark / `parse_cnf` ≥ {SPEED_GOAL:g}x at every length, `parse_cnf` "
           f"≤ {MEMORY_GOAL_MB} MB at {MEMORY_GOAL_AT:,} characters.", ""]
    summary = []
    for grammar in texts.GRAMMARS:
        rules = _engine.to_cnf_tagged(grammar.production_list(), grammar.terminals)
        md += [f"## {grammar.title}", "",
               f"{len(grammar.nonterminals())} nonterminals, {len(grammar.productions)} productions, "
               f"{len(rules)} CNF rules; start `{grammar.start}`.", ""]
        rows = []
        engine, lark = results[grammar.name]["parse_cnf"], results[grammar.name]["lark"]
        worst = None
        for n in lengths:
            e, l = engine.points.get(n), lark.points.get(n)
            ratio = None
            if e and l and e.status == l.status == "ok" and e.seconds:
                ratio = l.seconds / e.seconds
                worst = ratio if worst is None else min(worst, ratio)
            rows.append([f"{actual[grammar.name][n]:,}", cell(e, args.cap),
                         common.fmt_mb(e.peak_rss_mb) if e else "—",
                         common.fmt_mb(e.setup_rss_mb) if e else "—",
                         cell(l, args.cap), common.fmt_mb(l.peak_rss_mb) if l else "—", common.fmt_ratio(ratio)])
        md += common.table(["length", "`parse_cnf`", "peak", "before", "Lark Earley", "peak", "Lark / parse_cnf"],
                           rows)
        at = engine.points.get(MEMORY_GOAL_AT)
        memory = at.peak_rss_mb if at and at.status == "ok" else None
        measured_at = MEMORY_GOAL_AT in lengths
        summary.append([grammar.title, common.fmt_ratio(worst), common.fmt_mb(memory),
                        "met" if worst is not None and worst >= SPEED_GOAL and len([
                            n for n in lengths if engine.points.get(n) and engine.points[n].status == "ok"])
                        == len(lengths) else "**not met**",
                        "not measured" if not measured_at else
                        "met" if memory is not None and memory <= MEMORY_GOAL_MB else "**not met**"])
    # The parse_cnf times and derivation digests as data, for a later run's plot and check.
    data = {g: [[actual[g][n], o.seconds, o.result["digest"], n] for n, o in r["parse_cnf"].points.items()
                if o.status == "ok"] for g, r in results.items()}
    common.results_path("long_texts", args.label).with_suffix(".json").write_text(
        json.dumps({"label": args.label or "latest", **data}, indent=1) + "\n", encoding="utf-8")
    before_file = common.results_path("long_texts", args.before).with_suffix(".json")
    before = (json.loads(before_file.read_text(encoding="utf-8"))
              if args.before and args.before != args.label and before_file.exists() else None)
    differing: list[str] = []
    if before:
        compared, differing = compare_derivations(data, before)
        md += [f"Derivations against the {before['label']} run's: {compared} texts parsed by both, "
               + (f"**{len(differing)} differ**: {', '.join(differing)}." if differing else "all identical."), ""]
    if not args.no_plot:
        png = common.results_path("long_texts", args.label).with_suffix(".png")
        plot(results, actual, args.cap, png, before)
        md += [f"![parse time against text length, log-log]({png.name})", ""]
    md += ["## Goals", "", "Smallest Lark / `parse_cnf` ratio over the lengths both finished; the speed goal "
           "counts as met only when `parse_cnf` finished every length.", ""]
    md += common.table(["grammar", "smallest ratio", f"`parse_cnf` peak at {MEMORY_GOAL_AT:,}", "speed goal",
                        "memory goal"], summary)
    common.write_report(common.results_path("long_texts", args.label), md)
    rejected = [(g, s, n) for g, r in results.items() for s, series in r.items() for n, o in series.points.items()
                if o.status == "ok" and not o.result["accepted"]]
    return 1 if rejected or differing else 0


if __name__ == "__main__":
    sys.exit(main())
