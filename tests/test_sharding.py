"""Chunked scoring and induction: any chunking gives exactly the one-call result,
files are streamed with the tool's line rules, and failures name their chunk."""

import multiprocessing
import os
import random
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from hypothesis import given, strategies as st

from conftest import interruptible
import _engine
from grammar_engine import _partial, chunk_runner, sharding
from grammar_engine.errors import InputError

ANBN = [("S", ["a", "S", "b"]), ("S", ["a", "b"])]
ANBN_RULES = _engine.to_cnf_tagged(ANBN, {"a", "b"})
BRACKETS = [("S", ["(", "S", ")"]), ("S", ["(", ")"]), ("S", ["S", "S"]), ("S", ["é"])]

# Repeated short lines lift pair counts over the thresholds; other lines are noise.
lines = st.one_of(
    st.sampled_from(["ab", "aabb", "()", "(())", "()()", "a", "ba", "abab", "", "é(", "(é)"]),
    st.text(alphabet="ab()é", max_size=8),
)
corpora = st.lists(lines, max_size=40)
alphabets = st.lists(st.sampled_from(["a", "b", "(", ")", "é", "ab", ""]), max_size=6)


def cut(corpus, cuts):
    """The corpus split at the given positions (repeated positions give empty pieces)."""
    bounds = [0, *sorted(min(c, len(corpus)) for c in cuts), len(corpus)]
    return [corpus[a:b] for a, b in zip(bounds, bounds[1:])]


@given(corpus=corpora, cuts=st.lists(st.integers(0, 40), max_size=8))
def test_merged_counts_of_any_split_equal_the_whole(corpus, cuts):
    pieces = cut(corpus, cuts)
    stats = _partial.merge_pair_stats([_partial.pair_stats(piece) for piece in pieces])
    assert stats == _partial.pair_stats(corpus)
    terminals = frozenset("ab()é")
    for grammar in (ANBN, BRACKETS):
        counts = _partial.merge_derivation_counts(
            [_partial.derivation_counts(grammar, terminals, "S", piece) for piece in pieces]
        )
        assert counts == _partial.derivation_counts(grammar, terminals, "S", corpus)
        assert _partial.score_metrics(grammar, terminals, counts) == _engine.grammar_bpc(
            grammar, corpus, set(terminals), "S"
        )
        floor = _partial.merge_floor_counts(
            [_partial.floor_counts(grammar, terminals, "S", piece) for piece in pieces]
        )
        assert floor == _partial.floor_counts(grammar, terminals, "S", corpus)


def test_repeated_lines_count_as_often_as_they_occur():
    # Past the block in which repeats are parsed once, parsed and failing lines alike.
    corpus = [["ab", "aabb", "ba", "(())", "", "é"][(i * i) % 7 % 6] for i in range(40_000)]
    corpus += [str(i) for i in range(500)]
    terminals = frozenset("ab()é0123456789")
    for grammar in (ANBN, BRACKETS):
        expected = [[0] * len(grammar), 0, 0, 0]
        for line in dict.fromkeys(corpus):
            uses, failures, failed_bytes, corpus_bytes = _partial.derivation_counts(grammar, terminals, "S", [line])
            times = corpus.count(line)
            expected = [[a + times * b for a, b in zip(expected[0], uses)], expected[1] + times * failures,
                        expected[2] + times * failed_bytes, expected[3] + times * corpus_bytes]
        assert list(_partial.derivation_counts(grammar, terminals, "S", corpus)) == expected


@given(train=corpora, test=corpora, alphabet=alphabets, chunk_lines=st.integers(1, 12))
def test_sharded_induction_and_scoring_equal_one_call(train, test, alphabet, chunk_lines):
    expected = _engine.induce_full(train, test, alphabet)
    got = sharding.induce_sharded(train, test, alphabet, workers=1, chunk_lines=chunk_lines)
    assert got == expected
    assert list(got) == list(expected)
    # A one-shot iterator is kept aside for the second pass over the training lines.
    assert sharding.induce_sharded(iter(train), iter(test), alphabet, workers=1, chunk_lines=chunk_lines) == expected
    grammar = expected["productions"] or BRACKETS
    terminals = set(alphabet) | set("ab()é")
    assert sharding.score_sharded(grammar, terminals, "S", test, workers=1, chunk_lines=chunk_lines) == (
        _engine.grammar_bpc(grammar, test, terminals, "S")
    )


def test_worker_processes_give_the_one_call_result():
    train = ["ab", "aabb", "()", "(())", "ba", "abab"] * 30 + ["é(", "a"] * 7
    test = train[::3] + ["zz"]
    alphabet = ["a", "b", "(", ")", "é"]
    assert sharding.induce_sharded(train, test, alphabet, workers=2, chunk_lines=7) == (
        _engine.induce_full(train, test, alphabet)
    )
    assert sharding.score_sharded(BRACKETS, set(alphabet), "S", test, workers=2, chunk_lines=5) == (
        _engine.grammar_bpc(BRACKETS, test, set(alphabet), "S")
    )


@pytest.mark.parametrize("ending", [b"", b"\n", b"\r\n"])
def test_files_are_streamed_with_the_tool_line_rules(tmp_path, ending):
    path = tmp_path / "corpus.txt"
    # Byte-order mark, Windows line endings, blank lines, a lone "\r" kept inside a line.
    path.write_bytes(b"\xef\xbb\xbfab\r\n\r\naabb\n\n(a)\nb\ra\n\n" + b"ab" + ending)
    lines = ["ab", "aabb", "(a)", "b\ra", "ab"]
    expected = _engine.grammar_bpc(ANBN, lines, {"a", "b"}, "S")
    for chunk_lines in (1, 2, 3, 100):
        for workers in (1, 2):
            assert sharding.score_sharded(
                ANBN, {"a", "b"}, "S", path, chunk_lines=chunk_lines, workers=workers
            ) == expected
        by_value = list(sharding.iter_chunks(str(path), chunk_lines))
        by_reference = list(sharding.iter_chunks(path, chunk_lines, by_reference=True))
        assert [line for chunk in by_value for line in chunk.read()] == lines
        assert [line for chunk in by_reference for line in chunk.read()] == lines
        assert by_reference[-1].last_line == 8
    assert [(c.first_line, c.last_line) for c in sharding.iter_chunks(str(path), 2)] == [
        (1, 3), (5, 6), (8, 8)]
    assert [(c.first_line, c.last_line) for c in sharding.iter_chunks(path, 3, by_reference=True)] == [
        (1, 3), (4, 6), (7, 8)]


@pytest.mark.parametrize("workers", [1, 2])
def test_bad_and_empty_files_are_input_errors(tmp_path, workers):
    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"ab\nab\n\xffab\nab\n")
    with pytest.raises(InputError, match=r"bad.txt:3: not valid UTF-8 \(byte 0xff at byte 1\)"):
        sharding.score_sharded(ANBN, {"a", "b"}, "S", bad, workers=workers, chunk_lines=1)
    for content in (b"", b"\n\r\n\n"):
        blank = tmp_path / "blank.txt"
        blank.write_bytes(content)
        with pytest.raises(InputError, match="empty corpus"):
            sharding.score_sharded(ANBN, {"a", "b"}, "S", blank, workers=workers, chunk_lines=1)
    with pytest.raises(InputError, match="no such file"):
        sharding.induce_sharded(tmp_path / "missing.txt", ["ab"], ["a"], workers=workers)


def test_arguments_are_checked_as_the_one_call_checks_them():
    with pytest.raises(TypeError, match="argument 'terminals'"):
        sharding.score_sharded(ANBN, ["a", "b"], "S", ["ab"], workers=1)
    with pytest.raises(BaseException) as caught:
        sharding.score_sharded([("S", [])], {"a"}, "S", ["a"], workers=1)
    assert type(caught.value).__name__ == "PanicException"
    with pytest.raises(TypeError, match="corpus line 2: expected str, not int"):
        sharding.score_sharded(ANBN, {"a", "b"}, "S", ["ab", 3], workers=1)
    with pytest.raises(ValueError, match="chunk_lines"):
        sharding.score_sharded(ANBN, {"a", "b"}, "S", ["ab"], chunk_lines=0)
    with pytest.raises(ValueError, match="workers"):
        sharding.score_sharded(ANBN, {"a", "b"}, "S", ["ab"], workers=0)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: _partial.pair_stats("ab"), TypeError),
        (lambda: _partial.merge_pair_stats([(b"", b"\0" * 15)]), ValueError),
        (lambda: _partial.merge_pair_stats([(b"", "")]), TypeError),
        (lambda: _partial.candidates((b"",), ["a"]), ValueError),
        (lambda: _partial.derivation_counts(ANBN, {"a"}, "S", [b"ab"]), TypeError),
        (lambda: _partial.merge_derivation_counts([([1, 2], 0, 0, 0), ([1], 0, 0, 0)]), ValueError),
        (lambda: _partial.prune(ANBN, ([1], 0, 0, 0)), ValueError),
        (lambda: _partial.score_metrics(ANBN, {"a"}, ([1, -1], 0, 0, 0)), OverflowError),
        (lambda: _partial.score_metrics(ANBN, {"a"}, ([1, 2**64], 0, 0, 0)), OverflowError),
        (lambda: _partial.score_metrics(ANBN, {"a"}, ([1, 1.0], 0, 0, 0)), TypeError),
        (lambda: _partial.merge_floor_counts([(([1, 2], 0, 0, 0), 0, [1]), (([1, 2], 0, 0, 0), 0, [])]),
         ValueError),
        (lambda: _partial.pruning_floor(ANBN, {"a"}, "S", (([1], 0, 0, 0), 0, [])), ValueError),
        (lambda: _partial.pruning_floor(ANBN, {"a"}, "S", (([1, 2], 0, 0, 0), 0)), ValueError),
        (lambda: _partial.cannot_beat("1", 1.0), TypeError),
        (lambda: _partial.select([("wrap", ANBN, 1)]), TypeError),
        (lambda: _partial.select([("wrap", ANBN)]), ValueError),
        (lambda: _partial.estimate_parse(ANBN_RULES, "S", -1), OverflowError),
        (lambda: _partial.estimate_parse(ANBN_RULES, "S", 2**64), OverflowError),
        (lambda: _partial.estimate_parse(ANBN_RULES, "S", 10.0), TypeError),
        (lambda: _partial.estimate_parse(ANBN_RULES, b"S", 10), TypeError),
        (lambda: _partial.estimate_parse(ANBN, "S", 10), ValueError),
        (lambda: _partial.estimate_parse(ANBN_RULES, "S"), TypeError),
        (lambda: _partial.pair_stats(), TypeError),
        (lambda: _partial.pair_stats(lines=[], extra=1), TypeError),
    ],
)
def test_partial_rejects_bad_arguments(call, error):
    with pytest.raises(error):
        call()


def test_partial_round_trip_keeps_first_counted_order():
    # "ba" is counted before "ab"; equal counts must rank in that order after a merge.
    first, second = _partial.pair_stats(["ba"]), _partial.pair_stats(["ab", "ba"])
    merged = _partial.merge_pair_stats([first, second])
    assert merged == _partial.pair_stats(["ba", "ab", "ba"])
    assert _partial.merge_pair_stats([]) == (b"", b"")
    wrap, _ = _partial.candidates(_partial.pair_stats(["ab", "ba"] * 3), ["a", "b"])
    assert wrap == ("wrap", [("S", ["a", "S", "b"]), ("S", ["a", "b"]), ("S", ["b", "S", "a"]),
                             ("S", ["b", "a"]), ("S", ["S", "S"])], "S")


def dying_step(lines):
    """A chunk step whose worker process exits abruptly on the line "die"; counted
    in this process (by the runner's thread) it only takes its time."""
    if "die" in lines:
        if multiprocessing.parent_process() is None:
            time.sleep(1.0)
        else:
            os._exit(3)
    return len(lines)


def failing_step(lines):
    if "fail" in lines:
        raise ValueError("no such thing")
    return len(lines)


@pytest.mark.parametrize("workers", [1, 2])
def test_a_failing_chunk_is_named_and_nothing_is_returned(workers):
    corpus = ["x"] * 9 + ["fail"] + ["x"] * 10
    runner = chunk_runner.ChunkRunner(workers, 4, None, False)
    with pytest.raises(sharding.ChunkError, match=r"chunk 2 \(lines 9-12\) failed: ValueError: no such thing") as caught:
        list(runner.map(failing_step, (), corpus, "test"))
    assert (caught.value.index, caught.value.first_line, caught.value.last_line) == (2, 9, 12)
    assert isinstance(caught.value.__cause__, ValueError)


def test_a_dead_worker_is_named_with_its_chunk():
    # Every chunk kills a worker process: the first one a process takes is named.
    corpus = ["die", "x", "x", "x"] * 5
    runner = chunk_runner.ChunkRunner(2, 4, None, False)
    with pytest.raises(sharding.ChunkError) as raised:
        list(runner.map(dying_step, (), corpus, "test"))
    assert re.fullmatch(r"chunk (\d+) \(lines (\d+)-(\d+)\) failed: its worker process died \(exit code 3\)",
                        str(raised.value))
    chunk = raised.value.index
    assert (raised.value.first_line, raised.value.last_line) == (4 * chunk + 1, 4 * chunk + 4)


def test_large_chunks_and_results_do_not_block_the_pipes():
    # Chunks of lines and pair counts far larger than a pipe holds, with a chunk
    # queued behind each busy worker.
    rng = random.Random(5)
    chars = [chr(0x4E00 + i) for i in range(3000)]
    train = ["".join(rng.choice(chars) for _ in range(60)) for _ in range(12000)]
    test = train[:50]
    result = sharding.induce_sharded(train, test, chars[:5], workers=2, chunk_lines=4000, progress=False)
    assert result == _engine.induce_full(train, test, chars[:5])


def test_results_come_in_chunk_order_from_workers():
    corpus = [str(i) for i in range(50)]
    runner = chunk_runner.ChunkRunner(2, 3, None, False)
    assert list(runner.map(len, (), corpus, "test")) == [3] * 16 + [2]


@interruptible
def test_ctrl_c_stops_a_sharded_run_within_seconds(tmp_path):
    script = tmp_path / "long_run.py"
    script.write_text(textwrap.dedent("""
        import sys
        from grammar_engine import sharding

        def lines():
            while True:
                yield "ab" * 200

        if __name__ == "__main__":
            print("started", flush=True)
            result = sharding.score_sharded(
                [("S", ["a", "S", "b"]), ("S", ["a", "b"]), ("S", ["S", "S"])],
                {"a", "b"}, "S", lines(), workers=2, chunk_lines=50)
            print("result", result, flush=True)
    """))
    process = subprocess.Popen(
        [sys.executable, str(script)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, text=True,
    )
    assert process.stdout.readline() == "started\n"
    time.sleep(1.5)  # the workers are up and counting
    process.send_signal(signal.SIGINT)
    try:
        out, err = process.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        pytest.fail("the run did not stop within 10 s of Ctrl-C")
    assert process.returncode != 0
    assert "result" not in out
    assert "KeyboardInterrupt" in err


def test_dask_cluster_gives_the_one_call_result():
    distributed = pytest.importorskip("distributed")
    train = ["ab", "aabb", "()", "(())", "ba", "abab"] * 10
    test = train[::2] + ["zz"]
    alphabet = ["a", "b", "(", ")"]
    with distributed.LocalCluster(
        n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        assert sharding.induce_sharded(train, test, alphabet, client=client, chunk_lines=4) == (
            _engine.induce_full(train, test, alphabet)
        )
        assert sharding.score_sharded(BRACKETS, set(alphabet), "S", test, client=client, chunk_lines=3) == (
            _engine.grammar_bpc(BRACKETS, test, set(alphabet), "S")
        )
        with pytest.raises(sharding.ChunkError, match=r"chunk 1 \(lines 2-2\)"):
            sharding.score_sharded(ANBN, {"a", "b"}, "S", ["ab", "\ud800"], client=client, chunk_lines=1)


@given(train=corpora, test=corpora, chunk_lines=st.integers(1, 12))
def test_census_and_details_agree_with_the_whole_lists(train, test, chunk_lines):
    terminals = frozenset("ab()")
    found = sharding.census(train, terminals, workers=1, chunk_lines=chunk_lines)
    assert found.lines == len(train)
    assert found.characters == tuple(dict.fromkeys("".join(train)))
    assert found.missing_lines == sum(1 for line in train if set(line) - terminals)
    assert sum(found.missing.values()) == sum(1 for char in "".join(train) if char not in terminals)

    # Translated lines count as if the corpora held them.
    swap = str.maketrans({"a": "é", "é": "a"})
    alphabet = ["é", "b", "(", ")"]
    details = sharding.induce_with_details(
        train, test, alphabet, translate=swap, workers=1, chunk_lines=chunk_lines
    )
    train2, test2 = [line.translate(swap) for line in train], [line.translate(swap) for line in test]
    assert details.result == _engine.induce_full(train2, test2, alphabet)
    if details.result["productions"]:
        assert details.test_parse_failures == _engine.grammar_bpc(
            details.result["productions"], test2, set(alphabet), "S"
        )["parse_failures"]


def test_a_corpus_read_once_is_kept_for_later_passes(tmp_path):
    with sharding.RereadableCorpus(iter(["a", "b", "c", "d", "e"])) as once:
        assert list(once) == ["a", "b", "c", "d", "e"]
        assert list(once.view(lambda i: i % 2 == 1)) == ["b", "d"]
        assert list(once) == ["a", "b", "c", "d", "e"]
    path = tmp_path / "lines.txt"
    path.write_text("a\n\nb\nc\n")
    from_file = sharding.RereadableCorpus(path)
    assert from_file.source == path
    assert list(from_file.view(lambda i: i != 1)) == ["a", "c"]
    started = sharding.RereadableCorpus(iter(["a", "b"]))
    next(iter(started))
    with pytest.raises(RuntimeError, match="cannot be read again"):
        iter(started)


def _partial_calls():
    stats = _partial.pair_stats(["ab", "aabb", "ab"] * 3)
    counts = _partial.derivation_counts(ANBN, {"a", "b"}, "S", ["ab", "ba", "aabb"])
    yield lambda: _partial.pair_stats(["ab", "aabb", "é", ""])
    yield lambda: _partial.merge_pair_stats([stats, stats])
    yield lambda: _partial.candidates(stats, ["a", "b"])
    yield lambda: _partial.derivation_counts(ANBN, {"a", "b"}, "S", ["ab", "ba"])
    yield lambda: _partial.merge_derivation_counts([counts, counts])
    yield lambda: _partial.prune(ANBN, counts)
    yield lambda: _partial.score_metrics(ANBN, {"a", "b"}, counts)
    yield lambda: _partial.select([("wrap", ANBN, 1.5), ("chain", ANBN, 1.5)])
    floor = _partial.floor_counts(ANBN, {"a", "b"}, "S", ["ab", "ba", "aabb"])
    yield lambda: _partial.merge_floor_counts([floor, floor])
    yield lambda: _partial.pruning_floor(ANBN, {"a", "b"}, "S", floor)
    yield lambda: _partial.cannot_beat(2.5, 2.0)
    # Error paths: a bad item deep inside each kind of argument.
    yield lambda: _partial.merge_pair_stats([stats, (b"", b"x")])
    yield lambda: _partial.merge_derivation_counts([counts, ([1], 0, 0, -1)])
    yield lambda: _partial.score_metrics(ANBN, {"a"}, ([1, 2], 0, 0, "x"))
    yield lambda: _partial.select([("wrap", [("S", ["a", 1])], 1.0)])
    yield lambda: _partial.derivation_counts(ANBN, {"a"}, "S", ["ab", None])
    yield lambda: _partial.merge_floor_counts([floor, (counts, 0, [-1])])


def test_partial_keeps_no_references():
    import gc

    def blocks_after(rounds):
        for _ in range(rounds):
            for call in _partial_calls():
                try:
                    call()
                except Exception:  # noqa: BLE001 - the error paths are measured too
                    pass
        gc.collect()
        return sys.getallocatedblocks()

    before = blocks_after(50)
    assert blocks_after(1000) - before < 100
