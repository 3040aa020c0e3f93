"""Chunked scoring and induction: speed-up from a second worker, and peak memory of
a streamed file against a list in one call.

    python bench/sharding.py [--lines N] [--repeats N] [--memory-lines N] [--induce-memory-lines N] [--out FILE]

Every measurement runs in a fresh child process, which reports its wall time, the
CPU time of itself and its workers, and the peak resident set size of itself and
of its largest worker. The streamed and the one-call runs of a workload must give
the same result; the table says so in its last column. One and two workers run in
turn --repeats times each, and the quickest run of each is reported. The corpus is balanced
bracket strings with some noise (about 11 characters a line), written to a
temporary folder.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

GRAMMAR = [
    ("S", ["(", "S", ")"]),
    ("S", ["(", ")"]),
    ("S", ["[", "S", "]"]),
    ("S", ["[", "]"]),
    ("S", ["S", "S"]),
]
ALPHABET = ["(", ")", "[", "]"]
PIECES = ["()", "[]", "(())", "([])", "[()]"]


def write_corpus(path: Path, lines: int, seed: int) -> None:
    rng = random.Random(seed)
    with open(path, "w", encoding="utf-8") as out:
        for _ in range(lines):
            text = "".join(rng.choice(PIECES) for _ in range(rng.randint(1, 6)))
            if rng.random() < 0.1:
                text += rng.choice("([")
            out.write(text + "\n")


def measure(kind: str, workers: int, train: str, test: str) -> dict:
    """Runs one workload in this process and returns its figures and result."""
    from grammar_engine import sharding
    from grammar_engine.corpus import read_corpus

    import _engine

    started = time.perf_counter()
    if kind == "score-stream":
        result = sharding.score_sharded(GRAMMAR, set(ALPHABET), "S", train, workers=workers, progress=False)
    elif kind == "score-list":
        result = _engine.grammar_bpc(GRAMMAR, read_corpus(train), set(ALPHABET), "S")
    elif kind == "induce-stream":
        result = sharding.induce_sharded(train, test, ALPHABET, workers=workers, progress=False)
    elif kind == "induce-list":
        result = _engine.induce_full(read_corpus(train), read_corpus(test), ALPHABET)
    else:
        raise SystemExit(f"unknown workload {kind}")
    wall = time.perf_counter() - started
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return {
        "wall": wall,
        "cpu": own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime,
        "cpu_main": own.ru_utime + own.ru_stime,
        "cpu_workers": children.ru_utime + children.ru_stime,
        "rss_main_mb": own.ru_maxrss / 1024,
        "rss_worker_mb": children.ru_maxrss / 1024,
        "result": result,
    }


def run_child(kind: str, workers: int, train: Path, test: Path) -> dict:
    command = [sys.executable, __file__, "measure", kind, str(workers), str(train), str(test)]
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def table(rows: list[list[str]], header: list[str]) -> str:
    widths = [max(len(str(row[i])) for row in [header, *rows]) for i in range(len(header))]
    line = lambda row: "| " + " | ".join(str(c).ljust(w) for c, w in zip(row, widths)) + " |"
    return "\n".join([line(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|", *map(line, rows)])


def measure_memory(args: argparse.Namespace, files: dict) -> str:
    memory_rows = []
    for workload, lines in (("score", args.memory_lines), ("induce", args.induce_memory_lines)):
        train, test = files[lines]
        streamed = run_child(f"{workload}-stream", 2, train, test)
        listed = run_child(f"{workload}-list", 1, train, test)
        for how, figures in (("file in chunks, 2 workers", streamed), ("list, one call", listed)):
            # Two workers: this process (which counts too) and one worker process.
            total = figures["rss_main_mb"] + figures["rss_worker_mb"]
            memory_rows.append([
                workload, f"{lines:,}", how, f"{figures['wall']:.1f}", f"{figures['rss_main_mb']:.0f}",
                f"{figures['rss_worker_mb']:.0f}", f"{total:.0f}",
                "yes" if streamed["result"] == listed["result"] else "NO",
            ])
    return table(memory_rows, ["workload", "lines", "input", "wall s", "peak RSS main MB",
                                 "peak RSS worker MB", "total MB (main + worker)", "same result"])


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "measure":
        kind, workers, train, test = sys.argv[2:6]
        print(json.dumps(measure(kind, int(workers), train, test)))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=10**6, help="lines for the 1-vs-2-worker runs")
    parser.add_argument("--memory-lines", type=int, default=10**7, help="lines for the scoring memory runs")
    parser.add_argument("--induce-memory-lines", type=int, default=10**6, help="lines for the induction memory runs")
    parser.add_argument("--out", help="also write the tables to this Markdown file")
    parser.add_argument("--skip-memory", action="store_true", help="only the one-against-two-workers runs")
    parser.add_argument("--repeats", type=int, default=5, help="runs of each of one and two workers (quickest kept)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        base = Path(folder)
        files = {}
        sizes = {args.lines} if args.skip_memory else {args.lines, args.memory_lines, args.induce_memory_lines}
        for lines in sorted(sizes):
            train, test = base / f"train-{lines}.txt", base / f"test-{lines}.txt"
            write_corpus(train, lines, seed=1)
            write_corpus(test, max(lines // 10, 1), seed=2)
            files[lines] = (train, test)

        speed_rows = []
        for kind in ("score-stream", "induce-stream"):
            train, test = files[args.lines]
            # One and two workers in turn, each run a fresh child; the quickest of
            # each is kept (the machine's own noise only ever adds time).
            runs: dict[int, list[dict]] = {1: [], 2: []}
            for _ in range(args.repeats):
                for workers in (1, 2):
                    runs[workers].append(run_child(kind, workers, train, test))
            one, two = (min(runs[workers], key=lambda figures: figures["wall"]) for workers in (1, 2))
            if any(figures["result"] != one["result"] for figures in runs[1] + runs[2]):
                two = {**two, "result": None}
            # On a shared machine the wall time says little. With the machine to
            # itself a run takes at least the CPU time of its busiest process (this
            # one, which counts chunks too, or one of the evenly loaded worker
            # processes) and at least its whole CPU time spread over all cores: the
            # larger of the two is its CPU-time view.
            cores = os.cpu_count() or 1
            free = lambda figures, workers: max(
                figures["cpu_main"], figures["cpu_workers"] / max(workers - 1, 1), figures["cpu"] / cores
            )
            for workers, figures in ((1, one), (2, two)):
                speed_rows.append([
                    kind.split("-")[0], f"{args.lines:,}", workers, f"{figures['wall']:.1f}",
                    f"{one['wall'] / figures['wall']:.2f}x", f"{figures['cpu_main']:.1f}",
                    f"{figures['cpu_workers']:.1f}", f"{free(figures, workers):.1f}",
                    f"{free(one, 1) / free(figures, workers):.2f}x",
                    "yes" if figures["result"] == one["result"] else "NO",
                ])
        speed = table(speed_rows, ["workload", "lines", "workers", "wall s", "wall speed-up", "main CPU s",
                                   "workers CPU s", "CPU-time view s", "CPU-time speed-up", "same result"])
        if args.skip_memory:
            memory = "(not measured in this run)"
        else:
            memory = measure_memory(args, files)

    load = os.getloadavg()
    report = (
        f"Machine: {os.cpu_count()} cores, load average {load[0]:.1f} / {load[1]:.1f} / {load[2]:.1f} "
        "during the run.\n\n### One worker against two\n\n" + speed +
        "\n\n### Peak memory\n\n" + memory + "\n"
    )
    print(report)
    if args.out:
        Path(args.out).write_text(report)


if __name__ == "__main__":
    main()
