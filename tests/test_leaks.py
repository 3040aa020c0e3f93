"""Reference leaks at the boundary: every error path and every function, run a few
thousand times, must leave the interpreter's count of allocated blocks flat."""

import gc
import sys

import pytest

import _engine
from grammar_engine import _partial
from conftest import (
    BINDING_ERRORS,
    CONVERSION_ERRORS,
    PASSED_THROUGH,
    WORKED_PRODUCTIONS,
    Index,
    Items,
    Pair,
    RaisingIter,
    Text,
)

ROUNDS = 3000
# Blocks that may come and go for reasons of the interpreter's own (free lists,
# caches); a leak of one object per call shows as thousands.
SLACK = 100

RULES = _engine.to_cnf_tagged(WORKED_PRODUCTIONS, {"a", "b"})


def quietly(function, *args, **kwargs):
    def run():
        try:
            function(*args, **kwargs)
        except BaseException:  # noqa: BLE001 - error paths are what is measured
            pass

    return run


def cases():
    for name, args, kwargs, message in BINDING_ERRORS:
        yield f"binding: {message}", quietly(getattr(_engine, name), *args, **kwargs)
    for name, args, message in CONVERSION_ERRORS:
        yield f"conversion: {message}", quietly(getattr(_engine, name), *args)
    for name, args, kind, _ in PASSED_THROUGH:
        yield f"passed through: {name} {kind.__name__}", quietly(getattr(_engine, name), *args)
    def renamed_type_error():
        caused = TypeError("with a cause")
        caused.__cause__ = LookupError("cause")
        _engine.to_cnf_tagged(RaisingIter(("S", ["a"]), caused), set())

    # Fresh exceptions per call: re-raising one object would grow its traceback.
    yield "renamed TypeError with cause", quietly(renamed_type_error)
    yield "user error from __index__", quietly(
        lambda: _engine.parse_cnf("a", [("S", ["a"], Index(RuntimeError("no")))], "S")
    )
    yield "internal fault", quietly(_engine.to_cnf_tagged, [("S", ["a"]), ("S", [])], {"a"})
    yield "to_cnf_tagged", quietly(_engine.to_cnf_tagged, WORKED_PRODUCTIONS, {"a", "b"})
    yield "to_cnf_tagged subclasses", quietly(
        _engine.to_cnf_tagged, Items([Pair((Text("S"), Items(["a", "b"], 2**100)))]), frozenset("ab")
    )
    yield "parse_cnf", quietly(_engine.parse_cnf, "aabb", RULES, "S")
    yield "parse_cnf keywords", quietly(_engine.parse_cnf, start="S", cnf_rules=RULES, s="ab")
    yield "parse_cnf no parse", quietly(_engine.parse_cnf, "ba", RULES, "S")
    corpus = ["ab", "aabb", "ba", "", "é"]
    yield "grammar_bpc", quietly(_engine.grammar_bpc, WORKED_PRODUCTIONS, corpus, {"a", "b"}, "S")
    yield "grammar_bpc with a failing __len__", quietly(
        lambda: _engine.grammar_bpc(
            WORKED_PRODUCTIONS, Items([Text("ab"), "ba"], ValueError()), {"a"}, "S"
        )
    )
    yield "induce_full", quietly(_engine.induce_full, ["ab", "aabb", "aab"], ["ab", "abab"], ["a", "b"])
    yield "induce_full empty", quietly(_engine.induce_full, [], [], [])
    yield "estimate_parse", quietly(_partial.estimate_parse, RULES, "S", 1000)
    yield "estimate_parse bad length", quietly(_partial.estimate_parse, RULES, "S", -1)
    yield "estimate_parse bad rules", quietly(_partial.estimate_parse, [("S", ["a"])], "S", 10)


CASES = dict(cases())


def allocated_blocks_after(run, rounds):
    for _ in range(rounds):
        run()
    gc.collect()
    return sys.getallocatedblocks()


@pytest.mark.parametrize("name", CASES)
def test_no_leak(name, capfd):
    run = CASES[name]
    before = allocated_blocks_after(run, 200)  # warm-up: caches and free lists settle
    after = allocated_blocks_after(run, ROUNDS)
    capfd.readouterr()  # drop the diagnostics of the internal-fault case
    assert after - before < SLACK, f"{after - before} blocks more after {ROUNDS} calls"
