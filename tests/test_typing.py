"""The package type-checks under mypy --strict (skipped where mypy is not installed)."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parent.parent


def test_package_passes_mypy_strict(tmp_path):
    if not (ROOT / "python" / "grammar_engine").is_dir():
        pytest.skip("the package sources are not beside the tests")
    # The native module's stubs as a plain stub file, so a development build
    # (which installs no stub package) is checked against them too.
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(ROOT / "python" / "_engine-stubs" / "__init__.pyi", stubs / "_engine.pyi")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         "python/grammar_engine"],
        cwd=ROOT,
        env={**os.environ, "MYPYPATH": str(stubs)},
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
