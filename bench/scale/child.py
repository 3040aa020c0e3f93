"""One measurement in a child process of its own: time of a call and peak memory.

The parent (`measure_in_child`) sends the job, pickled, on the child's standard
input: a setup function named "module:function" (a module of this directory) with
its arguments, which returns the call to time. The child runs the setup, records
its peak resident size so far, times the call (the best of a few runs when it is
fast) and pickles back the time, the call's result and that peak. The whole
child's peak resident size comes from the operating system when it ends.

A call that runs past its time cap ends the child by SIGALRM (no handler is
installed, so even a call inside native code stops at once); a call that asks for
more than the address-space limit fails with MemoryError inside the child.
"""

from __future__ import annotations

import hashlib
import importlib
import os
import pickle
import resource
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent


@dataclass
class Outcome:
    status: str                  # "ok", "stopped" (over the time cap), "memory" (MemoryError) or "error"
    seconds: float | None = None  # best time of the call
    runs: int = 0
    result: Any = None
    setup_rss_mb: float | None = None  # peak resident size before the call
    peak_rss_mb: float | None = None   # peak resident size of the whole child
    error: str = ""


def peak_rss_now_mb() -> float | None:
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


def run_job(job: dict) -> dict:
    if job.get("memory_limit_mb"):
        limit = int(job["memory_limit_mb"]) * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    module_name, function_name = job["setup"].split(":")
    call = getattr(importlib.import_module(module_name), function_name)(*job.get("args", ()))
    out: dict = {"setup_rss_mb": peak_rss_now_mb()}
    cap, repeats, budget = job["cap"], job.get("repeats", 5), job.get("budget", 1.0)
    best, spent, runs, result = float("inf"), 0.0, 0, None
    try:
        while runs < repeats and (runs == 0 or spent < budget):
            signal.setitimer(signal.ITIMER_REAL, cap)
            t0 = time.perf_counter()
            result = call()
            t = time.perf_counter() - t0
            signal.setitimer(signal.ITIMER_REAL, 0)
            best, spent, runs = min(best, t), spent + t, runs + 1
    except MemoryError:
        signal.setitimer(signal.ITIMER_REAL, 0)
        out.update(status="memory", seconds=None, runs=runs)
        return out
    if job.get("summarize"):
        # A long derivation is not sent back whole: whether there was one, and a digest.
        result = {"accepted": result is not None and result is not False,
                  "digest": hashlib.sha256(repr(result).encode()).hexdigest()[:16]}
    out.update(status="ok", seconds=best, runs=runs, result=result)
    return out


def child_main() -> None:
    sys.path.insert(0, str(HERE))
    job = pickle.load(sys.stdin.buffer)
    import gc

    gc.disable()
    out = run_job(job)
    sys.stdout.buffer.write(pickle.dumps(out))
    sys.stdout.buffer.flush()


def measure_in_child(setup: str, args: tuple = (), *, cap: float, repeats: int = 5, budget: float = 1.0,
                     memory_limit_mb: int | None = None, summarize: bool = False,
                     pythonpath: list[str] | None = None, python: str | None = None) -> Outcome:
    """Runs one job in a fresh interpreter; `pythonpath` entries go first on its path."""
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join([*pythonpath, env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    job = {"setup": setup, "args": args, "cap": cap, "repeats": repeats, "budget": budget,
           "memory_limit_mb": memory_limit_mb, "summarize": summarize}
    with tempfile.TemporaryFile() as stdin, tempfile.TemporaryFile() as stdout, \
            tempfile.TemporaryFile() as stderr:
        stdin.write(pickle.dumps(job))
        stdin.seek(0)
        process = subprocess.Popen([python or sys.executable, str(Path(__file__).resolve())], stdin=stdin,
                                   stdout=stdout, stderr=stderr, env=env)
        # Reaped here rather than by Popen, so that this child's own resource use is read.
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        peak = usage.ru_maxrss / 1024
        stdout.seek(0)
        stderr.seek(0)
        out_bytes, err_bytes = stdout.read(), stderr.read()
    code = process.returncode
    if code == -signal.SIGALRM:
        return Outcome("stopped", peak_rss_mb=peak)
    if code != 0 or not out_bytes:
        return Outcome("error", peak_rss_mb=peak, error=err_bytes.decode(errors="replace").strip()[-2000:])
    out = pickle.loads(out_bytes)
    return Outcome(out["status"], out.get("seconds"), out.get("runs", 0), out.get("result"),
                   out.get("setup_rss_mb"), peak)


if __name__ == "__main__":
    child_main()
