"""Timing one system on a series of strings in a child process that can be stopped.

The child prepares the system (not timed), then times each string it is sent and
answers with the time per string. Fast calls are repeated in batches and the best
batch counts; slow ones run once or a few times. The parent waits at most `cap`
seconds (plus a margin) per string: a string that takes longer stops the system,
and the child is killed.
"""

from __future__ import annotations

import gc
import multiprocessing
import time
import traceback
from dataclasses import dataclass, field

from systems import BY_KEY
from workloads import Grammar

BATCH_SECONDS = 0.005  # a batch of fast calls lasts about this long
BATCHES = 20           # best of this many batches
REPEAT_BUDGET = 1.0    # slower calls are repeated while the total stays under this
MAX_RUNS = 5
MARGIN = 2.0           # seconds the parent adds to the cap before it gives up


@dataclass
class Point:
    length: int
    seconds: float | None       # time per string; None when not measured
    runs: int = 0
    accepted: bool = True
    stopped: bool = False        # this string took longer than the cap


@dataclass
class Series:
    system: str
    grammar: str
    points: list[Point] = field(default_factory=list)
    error: str = ""
    stopped_at: int | None = None  # the length whose string exceeded the cap

    def seconds_at(self, length: int) -> float | None:
        for p in self.points:
            if p.length == length and not p.stopped:
                return p.seconds
        return None

    def measured(self) -> list[Point]:
        return [p for p in self.points if p.seconds is not None and not p.stopped]


def time_one(parse, s: str) -> tuple[float, int, bool]:
    """Seconds per call, number of calls made, and whether the string was accepted."""
    t0 = time.perf_counter()
    accepted = bool(parse(s))
    first = time.perf_counter() - t0
    if first < BATCH_SECONDS:
        per_batch = max(1, int(BATCH_SECONDS / max(first, 1e-7)))
        best, calls = first, 1
        for _ in range(BATCHES):
            t0 = time.perf_counter()
            for _ in range(per_batch):
                parse(s)
            best = min(best, (time.perf_counter() - t0) / per_batch)
            calls += per_batch
        return best, calls, accepted
    best, spent, runs = first, first, 1
    while runs < MAX_RUNS and spent + best < REPEAT_BUDGET:
        t0 = time.perf_counter()
        parse(s)
        t = time.perf_counter() - t0
        best, spent, runs = min(best, t), spent + t, runs + 1
    return best, runs, accepted


def child(system_key: str, grammar: Grammar, conn) -> None:
    try:
        parse = BY_KEY[system_key].prepare(grammar)
        conn.send(("ready", None))
    except Exception:
        conn.send(("error", traceback.format_exc(limit=3)))
        return
    gc.collect()
    gc.disable()
    while True:
        s = conn.recv()
        if s is None:
            return
        try:
            conn.send(("time", time_one(parse, s)))
        except Exception:
            conn.send(("error", traceback.format_exc(limit=3)))
            return
        gc.collect()


def measure(system_key: str, grammar: Grammar, strings: dict[int, str], cap: float, log) -> Series:
    """Times `system_key` on the strings in increasing length until one exceeds `cap` seconds."""
    series = Series(system_key, grammar.name)
    context = multiprocessing.get_context("fork")
    parent_end, child_end = context.Pipe()
    process = context.Process(target=child, args=(system_key, grammar, child_end), daemon=True)
    process.start()
    try:
        if not parent_end.poll(120):
            series.error = "setup took over 120 s"
            return series
        kind, payload = parent_end.recv()
        if kind == "error":
            series.error = payload
            return series
        for length in sorted(strings):
            if series.stopped_at is not None:
                series.points.append(Point(length, None))
                continue
            parent_end.send(strings[length])
            if not parent_end.poll(cap + MARGIN):
                series.points.append(Point(length, None, stopped=True))
                series.stopped_at = length
                log(f"  {system_key:>12} {length:>5}: over {cap:g} s, stopped")
                continue
            kind, payload = parent_end.recv()
            if kind == "error":
                series.error = payload
                break
            seconds, runs, accepted = payload
            stopped = seconds > cap
            series.points.append(Point(length, seconds, runs, accepted, stopped))
            log(f"  {system_key:>12} {length:>5}: {seconds:.3g} s ({runs} runs)"
                + ("" if accepted else " NOT ACCEPTED") + (", over the cap, stopped" if stopped else ""))
            if stopped:
                series.stopped_at = length
        parent_end.send(None)
    finally:
        process.join(timeout=1 if series.stopped_at is None else 0)
        if process.is_alive():
            process.kill()
            process.join()
    return series
