"""The fixed cost of a call: `parse_cnf` on strings of a few characters, against an
earlier build in the same run.

    bench/.venv/bin/python bench/scale/short_strings.py [--baseline DIR_OR_REVISION] [--build DIR]

For each grammar of long_texts.py and each length, 2,000 strings of that length cut
from a generated text are parsed one call each with the same rule list, in a child
process per build (best of 5); the time per call is what a caller pays for a
string of that length. Writes bench/results/short_strings.md.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import common  # noqa: E402
from child import measure_in_child  # noqa: E402
from texts import GRAMMARS  # noqa: E402

LENGTHS = (1, 2, 3, 4, 6, 8, 16)
CALLS = 2000
GOAL = 0.5  # time per call against the baseline's


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", default=common.BASELINE_REVISION,
                        help="a build directory holding an earlier `_engine`, or a git revision to build "
                             f"(default {common.BASELINE_REVISION}, the parser before this benchmark's goal)")
    common.add_build_argument(parser)
    args = parser.parse_args()
    pythonpath = common.prepare_build(args.build)
    baseline = common.prepare_baseline(args.baseline)
    import _engine

    rows, mismatches = [], []
    for grammar in GRAMMARS:
        for length in LENGTHS:
            job = ("_engine", grammar.name, length, CALLS)
            now = measure_in_child("jobs:short_calls", job, cap=60, repeats=5, budget=2.0, pythonpath=pythonpath)
            before = measure_in_child("jobs:short_calls", job, cap=60, repeats=5, budget=2.0,
                                      pythonpath=[baseline])
            if now.result != before.result:
                mismatches.append(f"{grammar.name} at {length}")
            per_now, per_before = now.seconds / CALLS, before.seconds / CALLS
            ratio = per_now / per_before
            common.log(f"  {grammar.name} {length}: {per_before * 1e6:.2f} -> {per_now * 1e6:.2f} us")
            rows.append([grammar.name, str(length), f"{now.result}/{CALLS}", f"{per_before * 1e6:.2f} µs",
                         f"{per_now * 1e6:.2f} µs", f"{ratio:.2f}", "met" if ratio <= GOAL else "**not met**"])
    md = common.header_lines("Fixed cost per call on short strings", _engine.__file__,
                             [f"- baseline `_engine`: {args.baseline}"])
    md += [f"`parse_cnf` on {CALLS:,} strings of each length cut from a generated text, one call each with the "
           "same rule list, in a child process per build (best of 5). Goal: at most half the baseline's time "
           "per call.", ""]
    md += common.table(["grammar", "length", "parsed", "baseline per call", "now per call", "now / baseline",
                        f"goal ≤ {GOAL:g}"], rows)
    if mismatches:
        md += ["", "**Parse counts differ**: " + ", ".join(mismatches)]
    common.write_report(common.results_path("short_strings", args.label), md)
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
