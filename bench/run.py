"""Benchmark `_engine` against `_naive_engine`, a plain build of the same algorithms.

One run builds every input from a fixed seed, feeds the same inputs to both
modules, checks that every result is identical, and prints Markdown tables of the
times and ratios (also written to bench/results/latest.md).

    .venv/bin/python bench/run.py [--quick] [--cap SECONDS] [--induce-cap SECONDS]

The naive side is slow on long strings: each workload gives it a time budget
(--cap); strings past the budget are left out of the comparison and the table
says so ("sampled k/N" or "skipped").
"""

from __future__ import annotations

import argparse
import gc
import importlib
import os
import platform
import random
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
NAIVE_BUILD_DIR = ROOT / "build" / "bench"
RESULTS_FILE = ROOT / "bench" / "results" / "latest.md"

# The plain Python model of the induction, which names its thresholds once.
sys.path.append(str(ROOT / "tests"))
import reference_induction as induction_model  # noqa: E402

SHORT_MAX = 32  # the "short strings" bucket: at most this many characters
LONG_MIN = 200  # the "long strings" bucket: at least this many characters
TARGETS = {"short": 10.0, "long": 100.0, "induce_text": 50.0}


# --------------------------------------------------------------------------- modules


def load_naive():
    """Imports `_naive_engine`; unless it is already on the path, (re)builds it with
    CMake into build/bench first (an up-to-date build costs one ninja check)."""
    try:
        return importlib.import_module("_naive_engine")
    except ImportError:
        pass
    if not (NAIVE_BUILD_DIR / "CMakeCache.txt").exists():
        print(f"configuring {NAIVE_BUILD_DIR} ...", file=sys.stderr)
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(NAIVE_BUILD_DIR), "-G", "Ninja",
            "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}",
            "-DENGINE_TOOLS=ON", "-DENGINE_PYTHON_MODULE=ON",
        ]
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(NAIVE_BUILD_DIR), "--target", "_naive_engine"],
                   check=True, stdout=subprocess.DEVNULL)
    # Appended, so that an installed `_engine` still wins over any built here.
    sys.path.append(str(NAIVE_BUILD_DIR))
    importlib.invalidate_caches()
    return importlib.import_module("_naive_engine")


def load_engine(name: str):
    try:
        module = importlib.import_module(name)
    except ImportError as error:
        sys.exit(f"cannot import {name}: {error} (run `make install` or put a build dir on PYTHONPATH)")
    missing = [f for f in ("to_cnf_tagged", "parse_cnf", "grammar_bpc", "induce_full") if not hasattr(module, f)]
    if missing:
        sys.exit(f"{name} lacks {', '.join(missing)}; the benchmark needs all four functions")
    return module


def machine_description() -> list[str]:
    model = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        nproc = len(os.sched_getaffinity(0))
    except AttributeError:
        nproc = os.cpu_count()
    return [
        f"- CPU: {model}",
        f"- nproc: {nproc}",
        f"- load average at start: {', '.join(f'{x:.2f}' for x in os.getloadavg())}",
        f"- Python: {platform.python_version()} ({sys.executable})",
        f"- platform: {platform.platform()}",
    ]


# --------------------------------------------------------------------------- inputs

WORDS = (
    "the of and to in is was that for on it with as his they at be this from have "
    "or by one had not but what all were when we there can an your which their said "
    "if do will each about how up out them then she many some so these would other "
    "into has more her two like him see time could no make than first been its who now "
    "people my made over did down only way find use may water long little very after "
    "words called just where most know get through back much before go good new write "
    "our used me man too any day same right look think also around another came come "
    "work three word must because does part even place well such here take why things "
    "help put years different away again off went old number great tell men say small "
    "every found still between name should home big give air line set own under read "
    "last never us left end along while might next sound below saw something thought "
    "both few those always looked show large often together asked house world going "
    "café naïve rôle façade"  # a few characters of two bytes: lengths count code points
).split()

MOTIFS = ("GATTACA", "TATAAT", "CCGCGG")

NESTED_GRAMMAR_AB = [("S", ["a", "S", "b"]), ("S", ["a", "b"])]
NESTED_GRAMMAR_BRACKETS = [
    ("S", ["(", "S", ")"]), ("S", ["(", ")"]),
    ("S", ["[", "S", "]"]), ("S", ["[", "]"]),
    ("S", ["S", "S"]),
]
DNA_GRAMMAR = (
    [("S", list(m)) for m in MOTIFS]
    + [("S", [x, "S", y]) for x, y in (("A", "T"), ("T", "A"), ("C", "G"), ("G", "C"))]
    + [("S", ["S", "S"])]
    + [("S", [c]) for c in "ACGT"]
)


def anbn_strings(rng: random.Random, count: int) -> list[str]:
    out = []
    for _ in range(count):
        k = rng.randint(1, 32)
        s = "a" * k + "b" * k
        if rng.random() < 0.2:  # a near miss: one character flipped
            i = rng.randrange(len(s))
            s = s[:i] + ("b" if s[i] == "a" else "a") + s[i + 1:]
        out.append(s)
    return out


def balanced_string(rng: random.Random, length: int) -> str:
    """A random balanced string of () and [] with `length` (even) characters."""
    out, stack, opens_left = [], [], length // 2
    while opens_left or stack:
        if opens_left and (not stack or rng.random() < 0.5):
            c = rng.choice("([")
            out.append(c)
            stack.append(")" if c == "(" else "]")
            opens_left -= 1
        else:
            out.append(stack.pop())
    return "".join(out)


def bracket_strings(rng: random.Random, count: int) -> list[str]:
    out = []
    for _ in range(count):
        s = balanced_string(rng, 2 * rng.randint(1, 32))
        if rng.random() < 0.2:
            i = rng.randrange(len(s))
            s = s[:i] + rng.choice("()[]") + s[i + 1:]
        out.append(s)
    return out


def text_line(rng: random.Random, lo: int = 20, hi: int = 120) -> str:
    """Words from WORDS up to a random length in [lo, hi], ending with a period.

    Lower case only: a capital S in the alphabet would be a terminal that shadows the
    candidates' nonterminal "S", and no string would parse with the induced grammar.
    """
    target = rng.randint(lo, hi)
    words: list[str] = []
    length = 0
    while length < target:
        word = rng.choice(WORDS) + ("," if rng.random() < 0.08 else "")
        words.append(word)
        length += len(word) + 1
    return " ".join(words)[: target - 1].rstrip(" ,") + "."


def text_lines(rng: random.Random, count: int, lo: int = 20, hi: int = 120) -> list[str]:
    return [text_line(rng, lo, hi) for _ in range(count)]


def dna_string(rng: random.Random, length: int, failure_rate: float = 0.05) -> str:
    chars = [rng.choice("ACGT") for _ in range(length)]
    for _ in range(max(1, length // 40)):  # plant motifs
        motif = rng.choice(MOTIFS)
        at = rng.randrange(0, length - len(motif) + 1)
        chars[at:at + len(motif)] = motif
    if rng.random() < failure_rate:  # an unknown base: no parse
        chars[rng.randrange(length)] = "N"
    return "".join(chars)


def dna_strings(rng: random.Random, count: int, lo: int, hi: int) -> list[str]:
    return [dna_string(rng, rng.randint(lo, hi)) for _ in range(count)]


def alphabet_of(*corpora: list[str]) -> list[str]:
    return sorted({c for corpus in corpora for s in corpus for c in s})


def build_chain_grammar(engine, train: list[str], alphabet: list[str]) -> list:
    """The pruned "chain" candidate that induce_full builds from `train`, by the
    plain Python model of the induction, with `engine` parsing for the pruning."""
    _, bigram_counts = induction_model.collect_corpus_stats(train)
    productions = induction_model.build_chain_grammar(bigram_counts, alphabet)
    return induction_model.prune_by_usage(productions, train, frozenset(alphabet), parser=engine)


def chain_grammar_for(engine, train: list[str], test: list[str], alphabet: list[str]) -> tuple[list, str]:
    """induce_full's own grammar when it picks "chain", else the rebuilt chain candidate."""
    induced = engine.induce_full(train, test, alphabet)
    if induced["strategy"] == "chain":
        return [(lhs, list(rhs)) for lhs, rhs in induced["productions"]], ""
    # Check the rebuilding against induce_full on a corpus where "chain" wins.
    rng = random.Random(7)
    words = ["the", "then", "they", "them", "there", "these"]
    small = [" ".join(rng.choice(words) for _ in range(rng.randint(3, 12))) for _ in range(200)]
    small_alphabet = alphabet_of(small)
    check = engine.induce_full(small, small[:50], small_alphabet)
    rebuilt = build_chain_grammar(engine, small, small_alphabet)
    if check["strategy"] != "chain" or [(l, list(r)) for l, r in check["productions"]] != rebuilt:
        sys.exit("the rebuilt chain grammar does not match induce_full's; fix build_chain_grammar")
    note = (f"chain rebuilt (induce_full picks {induced['strategy']!r} here, "
            f"bpc {induced['bpc']})")
    return build_chain_grammar(engine, train, alphabet), note


@dataclass
class Workload:
    name: str
    productions: list
    terminals: frozenset
    strings: list[str]
    start: str = "S"
    note: str = ""

    def length_range(self) -> str:
        lengths = [len(s) for s in self.strings]
        return f"{min(lengths)}-{max(lengths)}"


# --------------------------------------------------------------------------- timing


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "—"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def fmt_ratio(engine: float, naive: float | None) -> str:
    if naive is None or engine <= 0:
        return "—"
    return f"{naive / engine:,.1f}x"


def timed(call, *args):
    t0 = time.perf_counter()
    result = call(*args)
    return time.perf_counter() - t0, result


def best_of(call, args, repeats: int, budget: float = 1.0):
    """Minimum time over up to `repeats` runs (fewer when one run exceeds `budget`)."""
    best, result = timed(call, *args)
    spent = best
    for _ in range(repeats - 1):
        if spent > budget:
            break
        t, result = timed(call, *args)
        best = min(best, t)
        spent += t
    return best, result


@dataclass
class Mismatch:
    what: str
    detail: str


@dataclass
class Report:
    lines: list[str] = field(default_factory=list)
    mismatches: list[Mismatch] = field(default_factory=list)
    # (function, bucket) -> [engine seconds, naive seconds, strings]
    buckets: dict = field(default_factory=dict)
    # parse_cnf per string where both sides ran: (length, engine seconds, naive seconds)
    parse_samples: list = field(default_factory=list)

    def emit(self, line: str = "") -> None:
        print(line, flush=True)
        self.lines.append(line)

    def add_bucket(self, function: str, bucket: str, engine: float, naive: float, strings: int) -> None:
        slot = self.buckets.setdefault((function, bucket), [0.0, 0.0, 0])
        slot[0] += engine
        slot[1] += naive
        slot[2] += strings


def bucket_of(length: int) -> str:
    if length <= SHORT_MAX:
        return "short"
    if length >= LONG_MIN:
        return "long"
    return "mid"


# --------------------------------------------------------------------------- minimising


def shrink_string(s: str, still_fails) -> str:
    """Greedily removes chunks, then single characters, then pairs of characters
    (short strings only: this drops matching brackets), while `still_fails` holds."""
    chunk = max(1, len(s) // 2)
    while chunk >= 1:
        i = 0
        while i < len(s):
            candidate = s[:i] + s[i + chunk:]
            if candidate and still_fails(candidate):
                s = candidate
            else:
                i += chunk
        chunk //= 2
    changed = len(s) <= 80
    while changed:
        changed = False
        for i in range(len(s)):
            for j in range(i + 1, len(s)):
                candidate = s[:i] + s[i + 1:j] + s[j + 1:]
                if candidate and still_fails(candidate):
                    s, changed = candidate, True
                    break
            if changed:
                break
    return s


def shrink_list(items: list, still_fails) -> list:
    i = 0
    while i < len(items):
        candidate = items[:i] + items[i + 1:]
        if candidate and still_fails(candidate):
            items = candidate
        else:
            i += 1
    return items


def mismatch_of(engine, naive, function: str, *args) -> Mismatch:
    """The call as it would be typed, and what each side returns for it."""
    shown = ", ".join(repr(set(a) if isinstance(a, frozenset) else a) for a in args)
    detail = (
        f"{function}({shown}):\n"
        f"  _engine -> {getattr(engine, function)(*args)!r}\n"
        f"  naive   -> {getattr(naive, function)(*args)!r}"
    )
    return Mismatch(function, detail)


def minimise_parse(engine, naive, s: str, rules: list, start: str) -> Mismatch:
    def differs(text, rs):
        return engine.parse_cnf(text, rs, start) != naive.parse_cnf(text, rs, start)

    s = shrink_string(s, lambda t: differs(t, rules))
    rules = shrink_list(list(rules), lambda rs: differs(s, rs))
    return mismatch_of(engine, naive, "parse_cnf", s, rules, start)


def minimise_bpc(engine, naive, productions: list, corpus: list[str], terminals, start: str) -> Mismatch:
    def differs(ps, cs):
        return engine.grammar_bpc(ps, cs, terminals, start) != naive.grammar_bpc(ps, cs, terminals, start)

    singles = [s for s in corpus if differs(productions, [s])]
    if singles:
        corpus = [shrink_string(singles[0], lambda t: differs(productions, [t]))]
    else:
        corpus = shrink_list(list(corpus), lambda cs: differs(productions, cs))
    productions = shrink_list(list(productions), lambda ps: differs(ps, corpus))
    return mismatch_of(engine, naive, "grammar_bpc", productions, corpus, terminals, start)


def minimise_induce(engine, naive, train: list[str], test: list[str], alphabet: list[str]) -> Mismatch:
    def differs(tr, te):
        return engine.induce_full(tr, te, alphabet) != naive.induce_full(tr, te, alphabet)

    # Halve the corpora while the results still differ; element-wise removal is too slow here.
    for _ in range(12):
        changed = False
        for half in (train[: len(train) // 2], train[len(train) // 2:]):
            if half and len(half) < len(train) and differs(half, test):
                train, changed = half, True
                break
        for half in (test[: len(test) // 2], test[len(test) // 2:]):
            if half and len(half) < len(test) and differs(train, half):
                test, changed = half, True
                break
        if not changed:
            break
    if len(train) <= 64:
        train = shrink_list(train, lambda tr: differs(tr, test))
    if len(test) <= 64:
        test = shrink_list(test, lambda te: differs(train, te))
    return mismatch_of(engine, naive, "induce_full", train, test, alphabet)


# --------------------------------------------------------------------------- benchmarks


class Bench:
    def __init__(self, engine, naive, args, report: Report):
        self.engine, self.naive, self.args, self.report = engine, naive, args, report
        self.parse_rows: list[list[str]] = []
        self.bpc_rows: list[list[str]] = []
        # per workload: naive parse time of each string it ran (index -> seconds)
        self.naive_parse_times: dict[str, dict[int, float]] = {}
        # per workload: (workload, rules, engine times, naive times, naive estimates)
        self.measured: dict[str, tuple] = {}

    # ---- conversion

    def check_conversion(self, w: Workload) -> list:
        rules = self.engine.to_cnf_tagged(w.productions, w.terminals)
        expected = self.naive.to_cnf_tagged(w.productions, w.terminals)
        if rules != expected:
            self.report.mismatches.append(
                Mismatch("to_cnf_tagged", f"{w.name}: to_cnf_tagged({w.productions!r}, {set(w.terminals)!r})"))
        return rules

    # ---- parse_cnf

    def bench_parse(self, w: Workload, *, long_strings: bool = False) -> None:
        rules = self.check_conversion(w)
        engine_parse, naive_parse = self.engine.parse_cnf, self.naive.parse_cnf
        start = w.start
        engine_parse(w.strings[0], rules, start)  # warm-up

        repeats = self.args.repeats
        engine_times = [float("inf")] * len(w.strings)
        engine_results: list = [None] * len(w.strings)
        for _ in range(repeats):
            for i, s in enumerate(w.strings):
                t, engine_results[i] = timed(engine_parse, s, rules, start)
                engine_times[i] = min(engine_times[i], t)

        budget = self.args.cap
        naive_times: dict[int, float] = {}
        skipped_estimates: list[str] = []
        estimates: dict[int, float] = {}
        per_cube = 0.0  # the largest naive seconds / n³ seen, to predict long strings
        spent = 0.0
        for i, s in enumerate(w.strings):
            n = len(s)
            predicted = per_cube * n ** 3
            if spent >= budget or (long_strings and spent + predicted > budget):
                if long_strings:
                    skipped_estimates.append(f"n={n}: est. {fmt_time(predicted)}")
                    estimates[i] = predicted
                continue
            t, result = timed(naive_parse, s, rules, start)
            spent += t
            naive_times[i] = t
            per_cube = max(per_cube, t / n ** 3)
            if result != engine_results[i] and len(self.report.mismatches) < 20:
                self.report.mismatches.append(minimise_parse(self.engine, self.naive, s, rules, start))
        # Fast workloads: repeat the naive side too, for a fair minimum.
        if len(naive_times) == len(w.strings) and spent < 0.5:
            for _ in range(repeats - 1):
                for i, s in enumerate(w.strings):
                    naive_times[i] = min(naive_times[i], timed(naive_parse, s, rules, start)[0])
        self.naive_parse_times[w.name] = naive_times

        engine_total = sum(engine_times)
        common = list(naive_times)
        engine_common = sum(engine_times[i] for i in common)
        naive_common = sum(naive_times.values())
        note = w.note
        if len(common) < len(w.strings):
            note = f"naive sampled {len(common)}/{len(w.strings)}; ratio on those" if common else "naive skipped"
            if skipped_estimates:
                note += " (skipped " + ", ".join(skipped_estimates) + ")"
        self.parse_rows.append([
            w.name, w.length_range(), str(len(w.strings)), fmt_time(engine_total),
            fmt_time(naive_common) if common else "skipped",
            fmt_ratio(engine_common, naive_common if common else None), note,
        ])
        for i in common:
            self.report.parse_samples.append((len(w.strings[i]), engine_times[i], naive_times[i]))
            self.report.add_bucket("parse_cnf", bucket_of(len(w.strings[i])), engine_times[i], naive_times[i], 1)
        self.measured[w.name] = (w, rules, engine_times, naive_times, estimates)

    # ---- grammar_bpc

    def bench_bpc(self, w: Workload) -> None:
        """Scores each length bucket of the workload as one corpus, on both sides."""
        naive_times = self.naive_parse_times.get(w.name, {})
        budget = self.args.cap
        engine_total = naive_total = engine_common = 0.0
        eligible_count = 0
        ran_naive_any = False
        for bucket in ("short", "mid", "long"):
            indices = [i for i, s in enumerate(w.strings) if bucket_of(len(s)) == bucket]
            if not indices:
                continue
            corpus = [w.strings[i] for i in indices]
            args = (w.productions, corpus, w.terminals, w.start)
            t_engine, engine_metrics = best_of(self.engine.grammar_bpc, args, self.args.repeats)
            engine_total += t_engine
            # Keep to the strings the naive parser handled within the budget, and to a
            # prefix of them whose predicted naive cost fits what is left of the budget.
            chosen, predicted = [], 0.0
            for i in indices:
                if i not in naive_times or predicted + naive_times[i] > budget - naive_total:
                    break
                chosen.append(i)
                predicted += naive_times[i]
            if not chosen:
                continue
            sub = [w.strings[i] for i in chosen]
            sub_args = (w.productions, sub, w.terminals, w.start)
            if len(chosen) < len(indices):
                t_engine_sub, engine_metrics = best_of(self.engine.grammar_bpc, sub_args, self.args.repeats)
            else:
                t_engine_sub = t_engine
            t_naive, naive_metrics = best_of(self.naive.grammar_bpc, sub_args, self.args.repeats, budget=0.5)
            ran_naive_any = True
            naive_total += t_naive
            engine_common += t_engine_sub
            eligible_count += len(chosen)
            self.report.add_bucket("grammar_bpc", bucket, t_engine_sub, t_naive, len(chosen))
            if engine_metrics != naive_metrics and len(self.report.mismatches) < 20:
                self.report.mismatches.append(
                    minimise_bpc(self.engine, self.naive, w.productions, sub, w.terminals, w.start))
        note = w.note
        if eligible_count < len(w.strings):
            note = (f"naive sampled {eligible_count}/{len(w.strings)}; ratio on those"
                    if ran_naive_any else "naive skipped")
        self.bpc_rows.append([
            w.name, w.length_range(), str(len(w.strings)), fmt_time(engine_total),
            fmt_time(naive_total) if ran_naive_any else "skipped",
            fmt_ratio(engine_common, naive_total if ran_naive_any else None), note,
        ])

    # ---- induce_full

    def bench_induce(self, name: str, train: list[str], test: list[str], alphabet: list[str],
                     length_range: str) -> list[str]:
        engine_time, engine_result = best_of(self.engine.induce_full, (train, test, alphabet), self.args.repeats)
        # Predict the naive cost from growing probes (1/32, 1/16, 1/8 of both corpora):
        # the candidates of a small probe have fewer qualifying pairs, so the largest
        # probe that stays affordable gives the estimate.
        predicted = 0.0
        for fraction in (32, 16, 8):
            p = max(8, len(train) // fraction)
            q = max(4, len(test) // fraction)
            t_probe, _ = timed(self.naive.induce_full, train[:p], test[:q], alphabet)
            predicted = t_probe * fraction
            if predicted > 1.5 * self.args.induce_cap:
                break
        compared_train, compared_test = train, test
        note = ""
        if predicted > self.args.induce_cap:
            scale = self.args.induce_cap / predicted
            compared_train = train[: max(8, int(len(train) * scale))]
            compared_test = test[: max(4, int(len(test) * scale))]
            note = (f"naive on {len(compared_train)}/{len(train)} train, {len(compared_test)}/{len(test)} "
                    f"test lines (est. full {fmt_time(predicted)}); ratio on those")
            engine_time_cmp, engine_result = best_of(
                self.engine.induce_full, (compared_train, compared_test, alphabet), self.args.repeats)
        else:
            engine_time_cmp = engine_time
        naive_time, naive_result = timed(self.naive.induce_full, compared_train, compared_test, alphabet)
        if engine_result != naive_result:
            self.report.mismatches.append(
                minimise_induce(self.engine, self.naive, compared_train, compared_test, alphabet))
            note = (note + "; " if note else "") + "RESULTS DIFFER"
        strategy = engine_result.get("strategy", "?")
        self.induce_ratio = (name, naive_time / engine_time_cmp)
        return [
            name, length_range, f"{len(train)} / {len(test)}", strategy, fmt_time(engine_time),
            fmt_time(naive_time), fmt_ratio(engine_time_cmp, naive_time), note,
        ]


def table(report: Report, header: list[str], rows: list[list[str]]) -> None:
    report.emit("| " + " | ".join(header) + " |")
    report.emit("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        report.emit("| " + " | ".join(row) + " |")
    report.emit()


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller inputs and budgets (about a minute)")
    parser.add_argument("--cap", type=float, default=None,
                        help="naive time budget per workload and function, seconds (default 60, quick 8)")
    parser.add_argument("--induce-cap", type=float, default=None,
                        help="naive time budget per induce_full workload, seconds (default 120, quick 15)")
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--repeats", type=int, default=5, help="repeats for fast measurements (minimum kept)")
    parser.add_argument("--engine", default="_engine", help=argparse.SUPPRESS)  # self-test: compare naive with itself
    parser.add_argument("--out", type=Path, default=RESULTS_FILE)
    args = parser.parse_args()
    if args.cap is None:
        args.cap = 8.0 if args.quick else 60.0
    if args.induce_cap is None:
        args.induce_cap = 15.0 if args.quick else 120.0
    return args


def emit_header(report: Report, args, engine, naive) -> None:
    report.emit(f"# `{args.engine}` vs `_naive_engine`{' (quick)' if args.quick else ''}")
    report.emit()
    report.emit(f"Run {time.strftime('%Y-%m-%d %H:%M:%S')}, seed {args.seed}, naive budget {args.cap:g} s "
                f"per workload and function, {args.induce_cap:g} s per induction workload.")
    report.emit()
    for line in machine_description():
        report.emit(line)
    report.emit(f"- `{args.engine}`: {getattr(engine, '__file__', '?')}")
    report.emit(f"- `_naive_engine`: {getattr(naive, '__file__', '?')}")
    report.emit()


@dataclass
class TextCorpora:
    """The English-like lines every part of the run shares, and the chain grammar over them."""
    train: list[str]
    test: list[str]
    parse: list[str]
    alphabet: list[str]
    chain_grammar: list
    chain_note: str


def make_text_corpora(rng: random.Random, engine, quick: bool) -> TextCorpora:
    count = 80 if quick else 300
    train = text_lines(rng, 500 if quick else 2000)
    test = text_lines(rng, 100 if quick else 300)
    parse = text_lines(rng, count)
    alphabet = alphabet_of(train, test, parse)
    chain_grammar, chain_note = chain_grammar_for(engine, train, test, alphabet)
    return TextCorpora(train, test, parse, alphabet, chain_grammar, chain_note)


# Strings of the long workloads, by workload name and length.
LONG_STRING_MAKERS = {
    "long DNA": lambda rng, n, lines: dna_string(rng, n, 0.0),
    "long text (chain)": lambda rng, n, lines: (" ".join(text_lines(rng, lines)))[:n],
}


def make_parse_workloads(rng: random.Random, text: TextCorpora, quick: bool) -> tuple[list, list]:
    """(workloads, long workloads) for parse_cnf and grammar_bpc."""
    count = 80 if quick else 300
    text_terminals = frozenset(text.alphabet)
    dna_terminals = frozenset("ACGT")
    workloads = [
        Workload("nested a^n b^n", NESTED_GRAMMAR_AB, frozenset("ab"), anbn_strings(rng, count)),
        Workload("nested brackets", NESTED_GRAMMAR_BRACKETS, frozenset("()[]"), bracket_strings(rng, count)),
        Workload("English-like text (chain)", text.chain_grammar, text_terminals, text.parse, note=text.chain_note),
        Workload("DNA with motifs", DNA_GRAMMAR, dna_terminals, dna_strings(rng, 30 if quick else 100, 50, 300)),
    ]
    long_lengths = [500, 1000] if quick else [500, 1000, 2000]
    long_workloads = [
        Workload("long DNA", DNA_GRAMMAR, dna_terminals,
                 [LONG_STRING_MAKERS["long DNA"](rng, n, 0) for n in long_lengths]),
        Workload("long text (chain)", text.chain_grammar, text_terminals,
                 [LONG_STRING_MAKERS["long text (chain)"](rng, n, n // 20) for n in long_lengths],
                 note=text.chain_note),
    ]
    return workloads, long_workloads


def emit_parse_and_bpc_tables(report: Report, bench: Bench, engine_name: str) -> None:
    header = ["workload", "length", "#strings", f"`{engine_name}`", "naive", "ratio", "note"]
    report.emit("## parse_cnf (one call per string, summed)")
    report.emit()
    table(report, header, bench.parse_rows)
    report.emit("## grammar_bpc (one call per length bucket: ≤32, 33-199, ≥200 characters)")
    report.emit()
    table(report, header, bench.bpc_rows)


def emit_length_bands(report: Report, engine_name: str) -> None:
    band_rows = []
    bands = [(1, 8), (9, 16), (17, 32), (33, 64), (65, 128), (129, 256), (257, 10 ** 9)]
    for lo, hi in bands:
        samples = [s for s in report.parse_samples if lo <= s[0] <= hi]
        if not samples:
            continue
        t_engine = sum(s[1] for s in samples)
        t_naive = sum(s[2] for s in samples)
        band_rows.append([f"{lo}-{hi}" if hi < 10 ** 9 else f"≥{lo}", str(len(samples)),
                          fmt_time(t_engine / len(samples)), fmt_time(t_naive / len(samples)),
                          fmt_ratio(t_engine, t_naive)])
    report.emit("## parse_cnf by string length (all workloads pooled, mean time per call)")
    report.emit()
    table(report, ["length", "#strings", f"`{engine_name}`", "naive", "ratio"], band_rows)


def growth_points(bench: Bench, w: Workload, rng: random.Random, args) -> list[tuple]:
    """(n, engine seconds, naive seconds or None, naive estimate or None) for the long
    workload's strings, plus shorter ones on both sides and longer ones on the engine."""
    engine, naive = bench.engine, bench.naive
    _, rules, engine_times, naive_times, estimates = bench.measured[w.name]
    make = LONG_STRING_MAKERS[w.name]
    points = []
    for n in (125, 250):
        s = make(rng, n, n // 20 + 2)
        t_engine, result = best_of(engine.parse_cnf, (s, rules, "S"), args.repeats)
        t_naive, naive_result = timed(naive.parse_cnf, s, rules, "S")
        if naive_result != result:
            bench.report.mismatches.append(minimise_parse(engine, naive, s, rules, "S"))
        points.append((n, t_engine, t_naive, None))
    for i, s in enumerate(w.strings):
        points.append((len(s), engine_times[i], naive_times.get(i), estimates.get(i)))
    for n in ([] if args.quick else [4000]):
        s = make(rng, n, n // 20 + 2)
        t_engine, _ = best_of(engine.parse_cnf, (s, rules, "S"), 2)
        points.append((n, t_engine, None, None))
    return points


def emit_growth(report: Report, bench: Bench, long_workloads: list, rng: random.Random, args) -> None:
    growth_rows = []
    for w in long_workloads:
        for n, t_engine, t_naive, estimate in growth_points(bench, w, rng, args):
            if t_naive is not None:
                naive_cell = f"{fmt_time(t_naive)} ({t_naive / n ** 3 * 1e9:.2f} ns)"
            elif estimate is not None:
                naive_cell = f"skipped (est. {fmt_time(estimate)})"
            else:
                naive_cell = "not run"
            growth_rows.append([
                w.name, str(n), fmt_time(t_engine), f"{t_engine / n ** 3 * 1e12:.2f}",
                f"{t_engine / (n ** 3 / 64) * 1e9:.3f}", naive_cell,
            ])
    report.emit("## parse_cnf growth on long strings")
    report.emit()
    report.emit("Time per string; time/n³ in picoseconds; time/(n³/64) in nanoseconds "
                "(flat when the cost follows n³/64 word operations); naive as time (ns per n³).")
    report.emit()
    table(report, ["workload", "n", f"`{args.engine}`", "time/n³ (ps)", "time/(n³/64) (ns)", "naive"], growth_rows)


def make_induce_sets(rng: random.Random, text: TextCorpora, quick: bool) -> list[tuple]:
    """(name, train, test, alphabet, length range) per induce_full workload."""
    train_count = 500 if quick else 2000
    test_count = 100 if quick else 300
    nested_train = anbn_strings(rng, train_count // 2) + bracket_strings(rng, train_count // 2)
    rng.shuffle(nested_train)
    nested_test = anbn_strings(rng, test_count // 2) + bracket_strings(rng, test_count // 2)
    dna_train = dna_strings(rng, train_count, 50, 150)
    dna_test = dna_strings(rng, test_count, 50, 150)
    return [
        ("nested pairs", nested_train, nested_test, alphabet_of(nested_train, nested_test), "2-64"),
        ("English-like text", text.train, text.test, text.alphabet, "20-120"),
        ("DNA with motifs", dna_train, dna_test, ["A", "C", "G", "T"], "50-150"),
    ]


def emit_induce(report: Report, bench: Bench, induce_sets: list[tuple], engine_name: str) -> float | None:
    """The induce_full table; returns the ratio on the English-like text, if run."""
    induce_rows = []
    text_induce_ratio = None
    for name, train, test, alphabet, lengths in induce_sets:
        induce_rows.append(bench.bench_induce(name, train, test, alphabet, lengths))
        if name == "English-like text":
            text_induce_ratio = bench.induce_ratio[1]
    report.emit("## induce_full")
    report.emit()
    table(report, ["workload", "length", "train / test", "strategy", f"`{engine_name}`", "naive", "ratio", "note"],
          induce_rows)
    return text_induce_ratio


def emit_induce_scaling(report: Report, engine, induce_sets: list[tuple], args) -> None:
    scaling_rows = []
    for name, train, test, alphabet, _ in induce_sets:
        times = []
        for factor in (1, 2, 4):
            bigger = [s for _ in range(factor) for s in train]
            # Vary the copies so the counts are not exact multiples of one another.
            local = random.Random(args.seed + factor)
            local.shuffle(bigger)
            t, _ = best_of(engine.induce_full, (bigger, test, alphabet), 3)
            times.append(t)
        scaling_rows.append([name, str(len(train)), *(fmt_time(t) for t in times),
                             f"{times[1] / times[0]:.2f} / {times[2] / times[0]:.2f}"])
    report.emit(f"## `{args.engine}` induce_full scaling with training lines")
    report.emit()
    table(report, ["workload", "1x lines", "1x", "2x", "4x", "2x/1x / 4x/1x"], scaling_rows)


def emit_targets(report: Report, text_induce_ratio: float | None, engine_name: str) -> None:
    target_rows = []
    for function in ("parse_cnf", "grammar_bpc"):
        for bucket, label, goal in (("short", f"≤{SHORT_MAX} chars", TARGETS["short"]),
                                    ("long", f"≥{LONG_MIN} chars", TARGETS["long"])):
            slot = report.buckets.get((function, bucket))
            if not slot or slot[1] == 0:
                target_rows.append([function, label, "0", "—", "—", "—", f"≥{goal:g}x", "not measured"])
                continue
            ratio = slot[1] / slot[0]
            target_rows.append([function, label, str(slot[2]), fmt_time(slot[0]), fmt_time(slot[1]),
                                f"{ratio:,.1f}x", f"≥{goal:g}x", "met" if ratio >= goal else "**MISSED**"])
    if text_induce_ratio is not None:
        goal = TARGETS["induce_text"]
        target_rows.append(["induce_full", "English-like text", "", "", "", f"{text_induce_ratio:,.1f}x",
                            f"≥{goal:g}x", "met" if text_induce_ratio >= goal else "**MISSED**"])
    report.emit("## Targets (strings where both sides ran, all workloads pooled)")
    report.emit()
    table(report, ["function", "strings", "#", f"`{engine_name}`", "naive", "ratio", "target", "status"],
          target_rows)


def emit_correctness(report: Report, engine_name: str) -> None:
    report.emit("## Correctness")
    report.emit()
    if report.mismatches:
        report.emit(f"**{len(report.mismatches)} mismatch(es)** between `{engine_name}` and `_naive_engine` "
                    "(smallest inputs found):")
        report.emit()
        for m in report.mismatches:
            report.emit("```")
            report.emit(m.detail)
            report.emit("```")
    else:
        report.emit("All parse results, metrics dicts, conversions and induction results are identical.")
    report.emit()


def main() -> int:
    args = parse_arguments()
    naive = load_naive()
    engine = load_engine(args.engine)
    report = Report()
    bench = Bench(engine, naive, args, report)
    gc.disable()
    emit_header(report, args, engine, naive)

    rng = random.Random(args.seed)
    text = make_text_corpora(rng, engine, args.quick)
    workloads, long_workloads = make_parse_workloads(rng, text, args.quick)
    for w in workloads + long_workloads:
        print(f"... {w.name}", file=sys.stderr, flush=True)
        bench.bench_parse(w, long_strings=w in long_workloads)
        bench.bench_bpc(w)
    emit_parse_and_bpc_tables(report, bench, args.engine)
    emit_length_bands(report, args.engine)
    emit_growth(report, bench, long_workloads, rng, args)

    print("... induce_full", file=sys.stderr, flush=True)
    induce_sets = make_induce_sets(rng, text, args.quick)
    text_induce_ratio = emit_induce(report, bench, induce_sets, args.engine)
    emit_induce_scaling(report, engine, induce_sets, args)
    emit_targets(report, text_induce_ratio, args.engine)
    emit_correctness(report, args.engine)

    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text("\n".join(report.lines) + "\n", encoding="utf-8")
    print(f"written to {args.out}", file=sys.stderr)
    return 1 if report.mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
