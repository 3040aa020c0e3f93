"""The chunked path of the API and the command line: the same results as the
one-call path, whatever the chunking, for lists, generators and files."""

from __future__ import annotations

import dataclasses
import signal
import subprocess
import sys
import time
import warnings

import pytest

from grammar_engine import Grammar, induce
from conftest import interruptible
from test_cli import ENV, run_tool, write

BRACKETS = "S -> '(' S ')' | '(' ')' | '[' S ']' | '[' ']' | S S\n"
LINES = ["()", "[]", "(())", "([])", "()[]", "(", "S()", "", "[[]]", "x)", "()()"] * 4


def quietly(call):
    """The call's result, with the texts of the warnings it gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    return result, [str(warning.message) for warning in caught]


def fields(result) -> dict:
    values = dataclasses.asdict(result) if not hasattr(result, "grammar") else {
        f.name: getattr(result, f.name) for f in dataclasses.fields(result)
    }
    if "grammar" in values and values["grammar"] is not None:
        values["grammar"] = str(values["grammar"])
    return values


@pytest.mark.parametrize("workers, chunk_lines", [(1, 1), (1, 5), (2, 3)])
def test_score_in_chunks_equals_one_call(tmp_path, workers, chunk_lines):
    grammar = Grammar.from_string(BRACKETS)
    whole = quietly(lambda: grammar.score(LINES))
    assert whole[1]  # the alphabet misses characters of the corpus
    assert quietly(lambda: grammar.score(iter(LINES), workers=workers, chunk_lines=chunk_lines)) == whole
    path = tmp_path / "corpus.txt"
    path.write_text("\n".join(LINES) + "\n", encoding="utf-8")
    assert quietly(lambda: grammar.score(path, workers=workers, chunk_lines=chunk_lines)) == whole


@pytest.mark.parametrize("workers, chunk_lines", [(1, 2), (2, 4)])
@pytest.mark.parametrize("held_out", [False, True])
def test_induce_in_chunks_equals_one_call(tmp_path, workers, chunk_lines, held_out):
    train = LINES * 3
    test = None if held_out else LINES[::2]
    whole, said = quietly(lambda: induce(train, test))
    chunked, said_chunked = quietly(
        lambda: induce(iter(train), iter(test) if test else None, workers=workers, chunk_lines=chunk_lines)
    )
    assert fields(chunked) == fields(whole)
    assert said_chunked == said
    # A line holding the engine's nonterminal name gets a stand-in in both paths.
    assert "S" in "".join(chunked.alphabet)


def test_tiny_corpus_and_bad_options():
    tiny = quietly(lambda: induce(["()", "()"], workers=1))
    assert fields(tiny[0]) == fields(quietly(lambda: induce(["()", "()"]))[0])
    with pytest.raises(ValueError, match="engine method"):
        induce(["()"] * 4, method="deep", workers=2)


def test_cli_options_give_the_same_output(tmp_path):
    write(tmp_path, "b.cfg", BRACKETS)
    write(tmp_path, "lines.txt", "\n".join(LINES * 3) + "\n")
    for command in (["score", "b.cfg", "lines.txt"], ["induce", "--train", "lines.txt", "--json"]):
        plain = run_tool(tmp_path, *command)
        chunked = run_tool(tmp_path, *command, "--workers", "2", "--chunk-lines", "4")
        assert (chunked.returncode, chunked.stdout, chunked.stderr) == (plain.returncode, plain.stdout, plain.stderr)


@interruptible
def test_cli_ctrl_c_stops_a_chunked_run(tmp_path):
    write(tmp_path, "b.cfg", BRACKETS)
    # Distinct lines: a repeated one is parsed once per chunk.
    write(tmp_path, "many.txt", "".join("(()[])" * (25 + i % 97) + "[]" * (i % 89) + "\n" for i in range(200_000)))
    process = subprocess.Popen(
        [sys.executable, "-m", "grammar_engine", "score", "b.cfg", "many.txt", "--workers", "2", "--chunk-lines", "500"],
        cwd=tmp_path, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    try:
        time.sleep(2.0)
        assert process.poll() is None, "the run ended before it could be interrupted"
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        code = process.wait(timeout=15)
        assert time.monotonic() - sent < 8.0
    finally:
        process.kill()
        process.wait()
    assert code == 130
    assert process.stdout.read() == b""
    assert b"Traceback" not in process.stderr.read()


def test_cli_on_a_dask_cluster(tmp_path):
    distributed = pytest.importorskip("distributed")
    write(tmp_path, "b.cfg", BRACKETS)
    write(tmp_path, "lines.txt", "\n".join(LINES * 3) + "\n")
    plain = run_tool(tmp_path, "score", "b.cfg", "lines.txt")
    with distributed.LocalCluster(
        n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None,
        protocol="tcp://", host="127.0.0.1", scheduler_port=0
    ) as cluster:
        on_cluster = run_tool(tmp_path, "score", "b.cfg", "lines.txt", "--dask", cluster.scheduler_address)
    assert (on_cluster.returncode, on_cluster.stdout) == (0, plain.stdout)
    unreachable = subprocess.run(
        [sys.executable, "-m", "grammar_engine", "score", "b.cfg", "lines.txt", "--dask", "tcp://127.0.0.1:9"],
        cwd=tmp_path, capture_output=True, text=True, timeout=60,
        env={**ENV, "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"},
    )
    assert unreachable.returncode == 2
    assert "cannot reach the Dask scheduler" in unreachable.stderr
