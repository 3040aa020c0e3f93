"""`_engine` side by side with the Python parsers users would pick instead.

    bench/.venv/bin/python bench/peers/run.py [--cap SECONDS] [--quick] [--no-floor]

(`make bench-peers` makes bench/.venv, installs the project and the peers from
bench/peers/requirements.txt into it, and runs this.)

Every system gets the same grammars and strings, each grammar converted into its
own notation; only parsing is timed. A system is stopped once one string takes
more than --cap seconds. Writes bench/results/peers.md and bench/results/peers.png
and prints, for the largest length, each system's time divided by
`_engine.parse_cnf`'s; then measures how far the parser is from the chart floor
(plain 64-bit word ANDs) on long strings.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import math
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from floor import run_floor  # noqa: E402
from measure import Series, measure  # noqa: E402
from systems import SYSTEMS, load_bench_run  # noqa: E402
from workloads import GRAMMARS, LENGTHS, LONG_LENGTHS, strings_for  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
RESULTS = ROOT / "bench" / "results"
REFERENCE = "parse_cnf"


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


# Times read as in the tables of bench/run.py.
fmt_time = load_bench_run().fmt_time


def fmt_ratio(ratio: float) -> str:
    if ratio < 1:
        return f"{ratio:.2g}x"
    if ratio >= 100:
        return f"{ratio:,.0f}x"
    if ratio >= 10:
        return f"{ratio:.1f}x"
    return f"{ratio:.2f}x"


def fmt_count(count: float) -> str:
    return f"{count:.3g}" if count >= 1e4 else f"{count:.0f}"


def table(header: list[str], rows: list[list[str]]) -> list[str]:
    return ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|",
            *("| " + " | ".join(row) + " |" for row in rows), ""]


# --------------------------------------------------------------------------- comparison


def ratio_summary(series: Series, reference: Series, largest: int, cap: float) -> tuple[str, float | None]:
    """The cell for `series` against the reference at the largest length, and the ratio if measured there."""
    own, ref = series.seconds_at(largest), reference.seconds_at(largest)
    if own is not None and ref:
        return fmt_ratio(own / ref), own / ref
    common = [p.length for p in series.measured() if reference.seconds_at(p.length)]
    parts = []
    if series.stopped_at is not None:
        parts.append(f"stopped at {series.stopped_at} (> {cap:g} s)")
    if common:
        n = max(common)
        parts.append(f"at {n}: {fmt_ratio(series.seconds_at(n) / reference.seconds_at(n))}")
    if series.stopped_at is not None and ref:
        # Time does not shrink with length: at `largest` it takes over the cap too.
        parts.append(f"at {largest}: over {fmt_ratio(cap / ref)}")
    return "; ".join(parts) or "—", None


def time_cell(series: Series, length: int, cap: float) -> str:
    for p in series.points:
        if p.length != length:
            continue
        if p.stopped:
            return f"**> {cap:g} s, stopped**"
        if p.seconds is None:
            return "—"
        return fmt_time(p.seconds) + ("" if p.accepted else " **(rejected)**")
    return "—"


# --------------------------------------------------------------------------- plot


def plot(results: dict[str, dict[str, Series]], lengths: tuple[int, ...], cap: float, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    styles = {
        "parse_cnf": ("#d62728", "o", "-"), "grammar_bpc": ("#ff7f0e", "s", "-"),
        "naive": ("#8c564b", "D", "--"), "nltk_chart": ("#1f77b4", "^", "-"),
        "nltk_viterbi": ("#17becf", "v", "-"), "lark_cyk": ("#2ca02c", "P", "-"),
        "pyformlang": ("#9467bd", "X", "-"),
    }
    # Legend labels must not start with "_" (matplotlib hides those).
    labels = {s.key: s.label.replace("`", "") for s in SYSTEMS}
    labels.update({"parse_cnf": "parse_cnf (_engine)", "grammar_bpc": "grammar_bpc (_engine, per string)",
                   "naive": "parse_cnf (_naive_engine)"})
    fig, axes = plt.subplots(1, len(GRAMMARS), figsize=(13, 5.6), sharey=True)
    for ax, grammar in zip(axes, GRAMMARS):
        for key, series in results[grammar.name].items():
            color, marker, line = styles.get(key, ("black", "o", "-"))
            points = series.measured()
            xs, ys = [p.length for p in points], [p.seconds for p in points]
            ax.plot(xs, ys, line, color=color, marker=marker, markersize=5, label=labels[key])
            if series.stopped_at is not None and xs:
                ax.plot([xs[-1], series.stopped_at], [ys[-1], cap], ":", color=color)
                ax.plot([series.stopped_at], [cap], marker=marker, color=color, markersize=9,
                        markerfacecolor="white", markeredgewidth=1.5)
        ax.axhline(cap, color="grey", linewidth=0.8, linestyle="--")
        ax.text(lengths[0], cap * 1.25, f"stop: one string > {cap:g} s (hollow marker)", fontsize=8, color="grey")
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_xticks(list(lengths), [str(n) for n in lengths])
        ax.set_xlabel("string length (characters)")
        ax.set_title(f"{grammar.title}:  {grammar.notation()}", fontsize=10)
        ax.grid(True, which="major", alpha=0.3)
    axes[0].set_ylabel("time per string (s)")
    top = max(cap * 4, max((p.seconds for r in results.values() for s in r.values() for p in s.measured()),
                           default=cap))
    axes[0].set_ylim(top=top)
    handles, names = axes[0].get_legend_handles_labels()
    fig.legend(handles, names, loc="lower center", ncol=4, fontsize=9, frameon=False)
    fig.suptitle("Parse time per string, log-log (lower is better; only parsing timed)", fontsize=12)
    fig.tight_layout(rect=(0, 0.11, 1, 0.96))
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --------------------------------------------------------------------------- floor report


def floor_lines(rows: list[dict]) -> tuple[list[str], list[str]]:
    """Markdown lines for the floor section, and the lines to print."""
    md, printed = [], []
    header = ["grammar", "n", "floor words", "floor (scalar AND)", "`parse_cnf`", "parse / floor",
              "words the fill touches", "of the floor words", "parse / (its words at AND rate)"]
    body = []
    for r in rows:
        rate = r["and_loops"]["scalar"]
        floor_seconds = r["floor_words"] * rate
        own_words = r["fill_words"]
        own_seconds = own_words * rate
        ratio = r["engine_seconds"] / floor_seconds
        r["parse_over_floor"] = ratio
        body.append([r["grammar"], str(r["n"]), fmt_count(r["floor_words"]), fmt_time(floor_seconds),
                     fmt_time(r["engine_seconds"]), fmt_ratio(ratio),
                     fmt_count(own_words), f"{own_words / r['floor_words']:.2%}",
                     fmt_ratio(r["engine_seconds"] / own_seconds)])
        printed.append(f"  {r['grammar']:>9} n={r['n']:>5}: parse_cnf {fmt_time(r['engine_seconds']):>10}, "
                       f"floor {fmt_time(floor_seconds):>10} ({fmt_count(r['floor_words'])} words), "
                       f"parse/floor {ratio:.4f}; the fill touches {fmt_count(own_words)} words, "
                       f"parse/(those at the AND rate) {r['engine_seconds'] / own_seconds:.1f}")
        if not r["accepted"]:
            printed.append("    WARNING: the counting build of the parser rejects the string")
    md += table(header, body)

    widths = [k for k in ("scalar", "default", "avx2", "avx512") if k in rows[0]["and_loops"]]
    header = ["grammar", "n", *(f"ns/word {w}" for w in widths), "end scan", "row ORs", "single checks",
              "row stores", "walk split tests"]
    body = []
    for r in rows:
        body.append([r["grammar"], str(r["n"]), *(f"{r['and_loops'][w] * 1e9:.3f}" for w in widths),
                     *(fmt_count(r[k]) for k in ("end_scan_words", "row_or_words", "single_checks",
                                                 "row_store_words", "walk_tests"))])
    md += ["Per-word rates of the AND loop at each vector width (\"default\" is the loop as the Release "
           "flags compile it, SSE2 here), and the words the fill touched, by loop, as the engine's own "
           "counters report them (the fill's words above are their sum; the derivation walk's split tests "
           "are counted apart, one per split point tried):", ""]
    md += table(header, body)
    return md, printed


# --------------------------------------------------------------------------- main


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cap", type=float, default=10.0, help="stop a system once one string takes longer")
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--quick", action="store_true", help="lengths up to 128, cap 1 s, short floor run")
    parser.add_argument("--no-floor", action="store_true", help="skip the chart-floor measurement")
    parser.add_argument("--systems", default=",".join(s.key for s in SYSTEMS),
                        help="comma-separated subset of: " + ", ".join(s.key for s in SYSTEMS))
    parser.add_argument("--out-dir", type=Path, default=RESULTS)
    args = parser.parse_args()
    lengths = tuple(n for n in LENGTHS if n <= 128) if args.quick else LENGTHS
    long_lengths = (1000,) if args.quick else LONG_LENGTHS
    if args.quick:
        args.cap = min(args.cap, 1.0)
    keys = [k for k in args.systems.split(",") if k]
    unknown = set(keys) - {s.key for s in SYSTEMS}
    if unknown or REFERENCE not in keys:
        sys.exit(f"--systems must include {REFERENCE} and name only known systems (unknown: {sorted(unknown)})")
    systems = [s for s in SYSTEMS if s.key in keys]

    import _engine

    bench_run = load_bench_run()
    if "naive" in keys:
        bench_run.load_naive()  # builds it now, outside any timed child
    started = time.perf_counter()

    results: dict[str, dict[str, Series]] = {}
    strings = {g.name: strings_for(g, lengths, args.seed) for g in GRAMMARS}
    for grammar in GRAMMARS:
        log(f"... {grammar.title}")
        results[grammar.name] = {s.key: measure(s.key, grammar, strings[grammar.name], args.cap, log)
                                 for s in systems}
    failures = [f"{s.system} on {s.grammar}: " + (s.error.strip().splitlines() or ["?"])[-1]
                for r in results.values() for s in r.values() if s.error]
    rejected = [f"{s.system} on {s.grammar} at {p.length}" for r in results.values() for s in r.values()
                for p in s.points if p.seconds is not None and not p.accepted]

    args.out_dir.mkdir(parents=True, exist_ok=True)
    png = args.out_dir / "peers.png"
    plot(results, lengths, args.cap, png)

    versions = []
    for package in ("nltk", "lark", "pyformlang", "matplotlib"):
        try:
            versions.append(f"{package} {importlib.metadata.version(package)}")
        except importlib.metadata.PackageNotFoundError:
            versions.append(f"{package} (not installed)")

    md = [f"# `_engine` side by side with Python parsers{' (quick)' if args.quick else ''}", "",
          f"Run {time.strftime('%Y-%m-%d %H:%M:%S')} by `make bench-peers` (bench/peers/run.py), seed {args.seed}; "
          f"a system is stopped once one string takes more than {args.cap:g} s.", ""]
    md += bench_run.machine_description()
    md += [f"- `_engine`: {getattr(_engine, '__file__', '?')}", f"- peers: {', '.join(versions)}", ""]
    md += ["## Workload", ""]
    for grammar in GRAMMARS:
        md.append(f"- {grammar.title}: `{grammar.notation()}`, start `S`, terminals "
                  f"{', '.join(repr(t) for t in sorted(grammar.terminals))} (one character each).")
    md += ["- One string per length and grammar, lengths " + ", ".join(map(str, lengths)) + ", all derived "
           "by the grammar: a balanced string drawn uniformly among all balanced strings of that length "
           "(cycle lemma, `random.Random` seeded from the seed and the grammar's name), and a^(n/2) b^(n/2). "
           "Every system must accept every string.",
           "- Time per string: the best of 20 batches of about 5 ms for fast calls, the best of up to 5 runs "
           "within about 1 s for slower ones, one run past that. Each system runs in its own child process "
           "with the garbage collector off during timing; the run is sequential (one core busy).", ""]
    md += ["## How each system was given the grammar", "",
           "Only parsing is timed: imports, grammar conversion and parser construction happen before the "
           "clock starts (except where a system's parse call itself includes them, said below).", ""]
    md += [f"- {s.label}: {s.adaptation}." for s in systems]
    md.append("")
    md += ["## Time per string", ""]
    for grammar in GRAMMARS:
        md += [f"### {grammar.title}: `{grammar.notation()}`", ""]
        rows = [[s.label, *(time_cell(results[grammar.name][s.key], n, args.cap) for n in lengths)]
                for s in systems]
        md += table(["system", *map(str, lengths)], rows)
    md += ["![time per string against length, log-log](peers.png)", ""]

    largest = lengths[-1]
    md += [f"## Against `_engine.parse_cnf` at length {largest}", "",
           "Each system's time per string divided by `_engine.parse_cnf`'s on the same string. For a stopped "
           "system, the lower bound at the largest length assumes its time does not fall as strings grow.", ""]
    printed = [f"time per string / _engine.parse_cnf's, at length {largest}:"]
    rows = []
    for s in systems:
        if s.key == REFERENCE:
            continue
        cells = []
        for grammar in GRAMMARS:
            cell, _ = ratio_summary(results[grammar.name][s.key], results[grammar.name][REFERENCE], largest,
                                    args.cap)
            cells.append(cell)
        rows.append([s.label, *cells])
        printed.append(f"  {s.label.replace('`', ''):<26} " + "   ".join(
            f"{g.name}: {c}" for g, c in zip(GRAMMARS, cells)))
    md += table(["system", *(g.title for g in GRAMMARS)], rows)
    print("\n".join(printed), flush=True)

    if not args.no_floor:
        long_strings = [(g, strings_for(g, long_lengths, args.seed + 1)) for g in GRAMMARS]
        floor_rows = run_floor(_engine, long_strings, log)
        section, floor_printed = floor_lines(floor_rows)
        low = min(r["parse_over_floor"] for r in floor_rows)
        high = max(r["parse_over_floor"] for r in floor_rows)
        if high > 4:
            floor_printed.append("  the parser is more than 4x above the floor: profile it (perf record)")
        md += ["## Close to the limit: the chart floor", "",
               "A CYK chart filled span by span decides, for every span (i, j) and every binary rule "
               "A -> B C that can apply to it (B and C can derive parts of the lengths a split leaves them), "
               "whether some split k has B over (i, k) and C over (k + 1, j): an AND of a row of B with a "
               "column of C over the j - i split points, ceil((j - i) / 64) words. The *floor words* are "
               "that sum over all spans and applicable rules (rules after the parser's own preparation: "
               "unproductive, unreachable and repeated rules dropped; length bounds from the same "
               "preparation); the *floor* is the time of that many 64-bit word ANDs, OR-reduced into one "
               "word, in a tight loop over two arrays one chart row long (in the first-level cache), one "
               "scalar AND per word. `parse_cnf` is timed from Python (best of several calls). Strings: "
               f"n = {', '.join(map(str, long_lengths))} characters, made as above with seed {args.seed + 1}.",
               "",
               "The parser does not scan split ranges span by span: it fills the chart one start position "
               "at a time, and for each end k at which some left child derives (i, k) it ORs the right "
               "child's row from k + 1 into the left-hand side's row, so its work follows the number of "
               "derivable spans, not the number of spans times rules, and it can come in below the floor. "
               f"Here it takes {fmt_ratio(low)} to {fmt_ratio(high)} of the floor's time. The second "
               "reference is the words the parser's own fill touches, counted by the engine itself (its "
               "sources built with the compile-time counters `ENGINE_FILL_COUNTERS`, which cost nothing "
               "in the module's build), priced at the same scalar AND rate: the last column says how "
               "many times slower the parser is than a tight loop over that many words.", ""]
        md += section
        print("parse_cnf time / chart floor (scalar 64-bit ANDs):", flush=True)
        print("\n".join(floor_printed), flush=True)

    if failures or rejected:
        md += ["## Problems", ""] + [f"- {x}" for x in failures + [f"rejected: {r}" for r in rejected]] + [""]
    md.append(f"Whole run: {time.perf_counter() - started:.0f} s.")
    out = args.out_dir / "peers.md"
    out.write_text("\n".join(md) + "\n", encoding="utf-8")
    log(f"written {out} and {png}")
    for problem in failures + rejected:
        log(f"PROBLEM: {problem}")
    return 1 if failures or rejected else 0


if __name__ == "__main__":
    sys.exit(main())
