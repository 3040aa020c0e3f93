"""The chart floor: how far the parser is from plain word ANDs on long strings.

Builds the C++ helper in floor/ (it links the engine's core library, built with
the fill's counters) into build/peers-floor, feeds it the tagged CNF rules and the long strings, and times
`_engine.parse_cnf` on the same strings from Python.
"""

from __future__ import annotations

import json
import shutil
import subprocess
import sys
import time
from pathlib import Path

from workloads import Grammar

ROOT = Path(__file__).resolve().parents[2]
SOURCE_DIR = Path(__file__).resolve().parent / "floor"
BUILD_DIR = ROOT / "build" / "peers-floor"
HELPER = BUILD_DIR / "chart_floor"


def build_helper() -> Path:
    configure = ["cmake", "-S", str(SOURCE_DIR), "-B", str(BUILD_DIR), "-DCMAKE_BUILD_TYPE=Release"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    if not (BUILD_DIR / "CMakeCache.txt").exists():
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD_DIR), "--target", "chart_floor"], check=True,
                   stdout=subprocess.DEVNULL)
    return HELPER


def helper_input(engine, grammars: list[tuple[Grammar, dict[int, str]]]) -> str:
    lines = []
    for grammar, strings in grammars:
        rules = engine.to_cnf_tagged(grammar.production_list(), grammar.terminals)
        lines += [f"grammar {grammar.name}", f"start {grammar.start}"]
        for lhs, rhs, tag in rules:
            if any(" " in x or not x for x in (lhs, *rhs)):
                sys.exit(f"chart floor: symbol with a space or empty in {grammar.name}")
            lines.append(" ".join(["rule", lhs, str(tag), *rhs]))
        lines += [f"string {strings[n]}" for n in sorted(strings)]
        lines.append("end")
    return "\n".join(lines) + "\n"


def time_parse_cnf(engine, grammar: Grammar, s: str, budget: float = 2.0) -> float:
    rules = engine.to_cnf_tagged(grammar.production_list(), grammar.terminals)
    engine.parse_cnf(s, rules, grammar.start)
    best, spent, runs = float("inf"), 0.0, 0
    while runs < 3 or (spent < budget and runs < 200):
        t0 = time.perf_counter()
        result = engine.parse_cnf(s, rules, grammar.start)
        t = time.perf_counter() - t0
        best, spent, runs = min(best, t), spent + t, runs + 1
    if result is None:
        sys.exit(f"chart floor: _engine.parse_cnf rejects a {grammar.name} string of {len(s)} characters")
    return best


def run_floor(engine, grammars: list[tuple[Grammar, dict[int, str]]], log) -> list[dict]:
    log("building the chart-floor helper ...")
    helper = build_helper()
    log("running the chart-floor helper ...")
    completed = subprocess.run([str(helper)], input=helper_input(engine, grammars), text=True,
                               capture_output=True, check=True)
    rows = [json.loads(line) for line in completed.stdout.splitlines() if line.strip()]
    strings = {(g.name, n): s for g, by_length in grammars for n, s in by_length.items()}
    by_name = {g.name: g for g, _ in grammars}
    for row in rows:
        row["engine_seconds"] = time_parse_cnf(engine, by_name[row["grammar"]], strings[(row["grammar"], row["n"])])
    return rows
