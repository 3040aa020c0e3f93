"""What the scaling benchmarks share: the build they measure, formatting and the report file."""

from __future__ import annotations

import argparse
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
RESULTS = ROOT / "bench" / "results"
DEFAULT_BUILD = ROOT / "build" / "bench"


def load_bench_run():
    """bench/run.py as the module `bench_run` (machine description, naive build)."""
    return _peers_systems().load_bench_run()


def _peers_systems():
    # The peer report's loader of bench/run.py, shared rather than written again.
    peers = str(ROOT / "bench" / "peers")
    if peers not in sys.path:
        sys.path.insert(0, peers)
    import systems

    return systems


def add_build_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--build", type=Path, default=DEFAULT_BUILD,
                        help="directory holding _engine and _naive_engine (default build/bench, "
                             "configured and built from the sources when it is the default)")
    parser.add_argument("--label", default="", help="suffix of the results file, e.g. 'baseline'")


def prepare_build(build: Path) -> list[str]:
    """Builds the default snapshot if needed; returns the path entries that select it.

    A snapshot of its own keeps a running benchmark away from rebuilds of build/dev.
    """
    build = build.resolve()
    if build == DEFAULT_BUILD.resolve():
        if not (build / "CMakeCache.txt").exists():
            subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                            f"-DPython_EXECUTABLE={sys.executable}", "-DENGINE_TOOLS=ON"],
                           check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(build), "--target", "_engine", "_naive_engine"], check=True,
                       stdout=subprocess.DEVNULL)
    if not any(build.glob("_engine*.so")):
        sys.exit(f"no _engine module in {build}")
    sys.path.insert(0, str(build))
    return [str(build)]


# The parser before the work on real corpora, many nonterminals and long texts: the
# default baseline of the scripts that run an earlier build beside the current one.
BASELINE_REVISION = "35a05ca"


def prepare_baseline(baseline: str) -> str:
    """A directory holding an earlier `_engine`: `baseline` itself when it is one,
    else a git revision whose sources are extracted and built under build/."""
    if Path(baseline).is_dir():
        return str(Path(baseline).resolve())
    commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", baseline], check=True,
                            capture_output=True, text=True).stdout.strip()
    folder = ROOT / "build" / f"baseline-{commit}"
    sources, build = folder / "src", folder / "build"
    if not (sources / "CMakeLists.txt").exists():
        sources.mkdir(parents=True, exist_ok=True)
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", commit], check=True, capture_output=True)
        subprocess.run(["tar", "-x", "-C", str(sources)], input=archive.stdout, check=True)
    if not any(build.glob("_engine*.so")):
        log(f"... building the baseline {commit} in {build}")
        subprocess.run(["cmake", "-S", str(sources), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(build), "--target", "_engine"], check=True, stdout=subprocess.DEVNULL)
    return str(build)


def results_path(name: str, label: str) -> Path:
    return RESULTS / (f"{name}.{label}.md" if label else f"{name}.md")


def header_lines(title: str, engine_file: str, extra: list[str]) -> list[str]:
    lines = [f"# {title}", "", f"Run {time.strftime('%Y-%m-%d %H:%M:%S')}.", ""]
    lines += load_bench_run().machine_description()
    lines += [f"- `_engine`: {engine_file}", *extra, ""]
    return lines


def fmt_time(seconds: float | None) -> str:
    """bench/run.py's time format."""
    return load_bench_run().fmt_time(seconds)


def fmt_ratio(ratio: float | None) -> str:
    if ratio is None:
        return "—"
    if ratio >= 100:
        return f"{ratio:,.0f}x"
    if ratio >= 10:
        return f"{ratio:.1f}x"
    return f"{ratio:.2f}x"


def fmt_mb(mb: float | None) -> str:
    return "—" if mb is None else f"{mb:,.0f} MB"


def table(header: list[str], rows: list[list[str]]) -> list[str]:
    return ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|",
            *("| " + " | ".join(row) + " |" for row in rows), ""]


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def write_report(path: Path, lines: list[str]) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    print("\n".join(lines))
    log(f"written to {path}")
