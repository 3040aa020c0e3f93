"""Held-out bits per byte of the engine's induction, the deep induction and three
general-purpose compressors, on English prose, standard-library source, CJK text
and DNA-like lines, with the time each took.

    python bench/induction_quality/run.py [--sizes 1000,10000,100000] [--corpora prose,source,cjk,dna] [--out FILE]

For each corpus and training size n, the first ceil(4n/3) lines are split as
everywhere in the toolkit: every fourth line is held out for testing, the rest
train (so about n training lines; a corpus with fewer lines is used whole).

What is measured, all on the same held-out lines:
- induce_full, deep: "bpc_with_lib" of the grammar on the held-out lines, which
  is the grammar's size plus the held-out text written with it, in bits, per
  byte of held-out text (UTF-8, line breaks not counted); the time is the whole
  induction (training, selection, final scoring), and for deep also the final
  scoring call alone (the longest single engine call).
- zlib (level 9), bz2 (level 9), xz (preset 9): the held-out lines alone, joined
  by "\\n", compressed; compressed bits per byte of held-out text counted as
  above (the compressors also carry the line breaks, so they are charged a
  little more text than the grammars); the time is the compression.
"""

from __future__ import annotations

import argparse
import bz2
import lzma
import math
import os
import sys
import time
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _engine  # noqa: E402
import corpora  # noqa: E402

from grammar_engine.deep_induction import induce_deep  # noqa: E402

COMPRESSORS = {
    "zlib -9": lambda data: zlib.compress(data, 9),
    "bz2 -9": lambda data: bz2.compress(data, 9),
    "xz -9": lambda data: lzma.compress(data, preset=9),
}


def timed(function, *args, **kwargs):
    started = time.perf_counter()
    value = function(*args, **kwargs)
    return value, time.perf_counter() - started


def measure(name: str, size: int) -> dict | None:
    lines = corpora.CORPORA[name](math.ceil(size * corpora.TEST_EVERY / (corpora.TEST_EVERY - 1)))
    train, test = corpora.split(lines)
    if not train or not test:
        return None
    alphabet = list(dict.fromkeys(char for line in train + test for char in line))
    test_bytes = sum(len(line.encode("utf-8")) for line in test)
    row = {"corpus": name, "train": len(train), "test": len(test), "test_bytes": test_bytes}
    full, row["full_s"] = timed(_engine.induce_full, train, test, alphabet)
    row["full"] = full["bpc"]
    marks: dict[str, float] = {}

    def progress(done, total, what):
        marks[what] = time.perf_counter()

    deep, row["deep_s"] = timed(induce_deep, train, test, alphabet, progress=progress)
    row["final_s"] = time.perf_counter() - marks.get("exact score", time.perf_counter())
    row["deep"] = deep.bpc
    row["deep_rules"] = len(deep.productions)
    row["deep_failures"] = deep.metrics.get("parse_failures", 0.0)
    check = _engine.grammar_bpc(deep.productions, test, set(alphabet), "S")["bpc_with_lib"]
    assert check == deep.bpc, (check, deep.bpc)
    data = "\n".join(test).encode("utf-8")
    for label, compress in COMPRESSORS.items():
        packed, row[label + "_s"] = timed(compress, data)
        row[label] = len(packed) * 8 / test_bytes
    return row


def table(rows: list[dict]) -> str:
    out = [
        "| corpus | train lines | test bytes | induce_full | deep | deep / full | zlib -9 | bz2 -9 | xz -9 | deep rules | time: full / deep (final call) / bz2 |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    for row in rows:
        out.append(
            f"| {row['corpus']} | {row['train']:,} | {row['test_bytes']:,} | {row['full']:.4f} | {row['deep']:.4f} "
            f"| {row['deep'] / row['full']:.2f} | {row['zlib -9']:.2f} | {row['bz2 -9']:.2f} | {row['xz -9']:.2f} "
            f"| {row['deep_rules']:,} | {row['full_s']:.1f} s / {row['deep_s']:.1f} s ({row['final_s']:.1f} s) / {row['bz2 -9_s'] * 1000:.0f} ms |"
        )
    return "\n".join(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,10000,100000")
    parser.add_argument("--corpora", default="prose,source,cjk,dna")
    parser.add_argument("--out", default=str(HERE.parent / "results" / "induction_quality.md"))
    args = parser.parse_args()
    rows = []
    for name in args.corpora.split(","):
        seen_train = set()
        for size in (int(value) for value in args.sizes.split(",")):
            row = measure(name, size)
            if row is None or row["train"] in seen_train:
                continue  # the corpus holds fewer lines than this size asks
            seen_train.add(row["train"])
            rows.append(row)
            print(table([row]).splitlines()[-1], flush=True)
    report = table(rows)
    print()
    print(report)
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(
        "# Induction quality\n\n"
        f"Generated by bench/induction_quality/run.py on {os.cpu_count()} cores.\n"
        "Scores in bits per byte of held-out text; lower is better.\n\n" + report + "\n"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
