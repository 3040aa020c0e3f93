"""The Python face of _engine: module, argument binding, argument conversion,
error mapping and the shape of to_cnf_tagged's result."""

import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import _engine
from conftest import (
    BINDING_ERRORS,
    CONVERSION_ERRORS,
    PASSED_THROUGH,
    WORKED_PRODUCTIONS,
    WORKED_RULES,
    Index,
    Keyword,
    Pair,
    RaisingIter,
    Text,
)

EMPTY_RHS_FAULT = "index out of bounds: the len is 0 but the index is 0"
PANIC_DOC = (
    "\nThe exception raised when Quill code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def call(name, *args, **kwargs):
    return getattr(_engine, name)(*args, **kwargs)


def raise_panic():
    try:
        _engine.to_cnf_tagged([("S", ["a"]), ("S", [])], {"a"})
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        return error
    pytest.fail("an empty right-hand side did not fault")


class TypeErrorSubclass(TypeError):
    pass


# ---------------------------------------------------------------- module


def test_module_surface():
    assert _engine.__all__ == ["to_cnf_tagged", "parse_cnf", "grammar_bpc", "induce_full"]
    assert _engine.__doc__ == "Python module entry point"
    assert not hasattr(_engine, "PanicException")


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("to_cnf_tagged", "(productions, terminals)",
         "Convertit des productions naturelles en CNF taguée."),
        ("parse_cnf", "(s, cnf_rules, start)",
         "Parse a string against CNF productions; returns the tag sequence or None."),
        ("grammar_bpc", "(productions, corpus, terminals, start)",
         "Score grammars on a corpus using the native fast path (avoids Python round-trips)."),
        ("induce_full", "(corpus_train, corpus_test, alphabet)",
         "Pipeline complet Quill : build 3 strategies + prune + score + retourne la meilleure."),
    ],
)
def test_function_metadata(name, signature, doc):
    function = getattr(_engine, name)
    assert function.__name__ == name
    assert function.__module__ == "_engine"
    assert function.__self__ is _engine
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    parameters = inspect.signature(function).parameters.values()
    assert "(" + ", ".join(p.name for p in parameters) + ")" == signature
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters)


def test_reimport_and_subinterpreters():
    script = textwrap.dedent(
        """
        import sys, _interpreters
        import _engine
        first = _engine
        del sys.modules["_engine"]
        import _engine
        assert _engine is first, "re-initialisation made a new module"
        interpreter = _interpreters.create("legacy")
        failure = _interpreters.exec(interpreter, "import _engine")
        _interpreters.destroy(interpreter)
        print(failure.type.__name__)
        print(failure.msg)
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=os.environ, timeout=60)
    assert run.returncode == 0, run.stderr
    kind, message = run.stdout.splitlines()
    assert kind == "ImportError"
    assert message.startswith("PyO3 modules do not yet support subinterpreters, see ")


# ---------------------------------------------------------------- binding

@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        call(name, *args, **kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((WORKED_PRODUCTIONS,), {"terminals": {"a", "b"}}),
        ((), {Keyword("terminals"): {"a", "b"}, Keyword("productions"): WORKED_PRODUCTIONS}),
    ],
)
def test_mixed_and_subclassed_keywords(args, kwargs):
    assert _engine.to_cnf_tagged(*args, **kwargs) == WORKED_RULES


SAMPLE_ARGUMENTS = {
    "to_cnf_tagged": (WORKED_PRODUCTIONS, {"a", "b"}),
    "parse_cnf": ("aabb", WORKED_RULES, "S"),
    "grammar_bpc": (WORKED_PRODUCTIONS, ["ab", "aabb", "ba"], {"a", "b"}, "S"),
    "induce_full": (["ab", "aabb", "aab"], ["ab", "abab"], ["a", "b"]),
}


@pytest.mark.parametrize("name", SAMPLE_ARGUMENTS)
def test_all_keywords_in_reverse_order_equal_positional(name):
    function = getattr(_engine, name)
    args = SAMPLE_ARGUMENTS[name]
    names = list(inspect.signature(function).parameters)
    keywords = dict(reversed(list(zip(names, args))))
    assert function(**keywords) == function(*args)


# ---------------------------------------------------------------- conversion

@pytest.mark.parametrize("name, args, message", CONVERSION_ERRORS)
def test_conversion_errors(name, args, message):
    with pytest.raises(TypeError) as caught:
        call(name, *args)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert caught.value.__cause__ is None


def test_declaration_order_with_keywords():
    with pytest.raises(TypeError, match=r"^argument 'productions': "):
        _engine.to_cnf_tagged(terminals=5, productions="x")


@pytest.mark.parametrize("name, args, kind, message", PASSED_THROUGH)
def test_errors_passed_through(name, args, kind, message):
    with pytest.raises(kind) as caught:
        call(name, *args)
    assert type(caught.value) is kind
    assert not str(caught.value).startswith("argument ")
    if message is not None:
        assert str(caught.value) == message


@pytest.mark.parametrize("tag", [2**31 - 1, -(2**31), True, 0])
def test_tags_at_the_range_limits_are_accepted(tag):
    assert _engine.parse_cnf("a", [("S", ["a"], tag)], "S") == [int(tag)]


def test_tag_through_index_is_accepted():
    assert _engine.parse_cnf("a", [("S", ["a"], Index(7))], "S") == [7]


@pytest.mark.parametrize(
    "name, make_args",
    [
        ("to_cnf_tagged", lambda bad: (RaisingIter(("S", ["a"]), bad), set())),
        ("to_cnf_tagged", lambda bad: ([("S", RaisingIter("a", bad))], set())),
        ("parse_cnf", lambda bad: ("a", [("S", ["a"], Index(bad))], "S")),
        ("grammar_bpc", lambda bad: ([], RaisingIter("ab", bad), set(), "S")),
        ("induce_full", lambda bad: (["ab"], ["ab"], RaisingIter("a", bad))),
    ],
)
@pytest.mark.parametrize("kind", [RuntimeError, TypeErrorSubclass, KeyError])
def test_user_code_errors_pass_unchanged(name, make_args, kind):
    error = kind("from user code")
    with pytest.raises(kind) as caught:
        call(name, *make_args(error))
    assert caught.value is error


@pytest.mark.parametrize(
    "name, make_args, parameter",
    [
        ("to_cnf_tagged", lambda bad: (RaisingIter(("S", ["a"]), bad), set()), "productions"),
        ("parse_cnf", lambda bad: ("a", [("S", ["a"], Index(bad))], "S"), "cnf_rules"),
        ("induce_full", lambda bad: (["ab"], RaisingIter("a", bad), []), "corpus_test"),
    ],
)
@pytest.mark.parametrize("with_cause", [False, True])
def test_exact_type_error_is_renamed_with_the_original_cause(name, make_args, parameter, with_cause):
    cause = LookupError("root cause")
    error = TypeError("bad item", 2)
    if with_cause:
        error.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        call(name, *make_args(error))
    raised = caught.value
    assert raised is not error and type(raised) is TypeError
    assert raised.args == (f"argument '{parameter}': ('bad item', 2)",)
    assert raised.__cause__ is (cause if with_cause else None)


# ---------------------------------------------------------------- results and shapes


@pytest.mark.parametrize(
    "productions, terminals, expected",
    [
        (WORKED_PRODUCTIONS, {"a", "b"}, WORKED_RULES),
        ([], set(), []),
        ([], frozenset({"a"}), []),
        ((("S", ("a",)),), frozenset({"a"}), [("S", ["a"], 0)]),
        # No terminals: long right-hand sides chain over the raw symbols.
        ([("S", ["x", "y", "z"])], set(), [("_AUX1", ["x", "y"], -1), ("S", ["_AUX1", "z"], 0)]),
        # Texts travel with their lengths: NUL bytes, empty and non-ASCII symbols survive.
        ([("S", ["a\x00b", "é", ""]), ("", ["😀"])], {"a\x00b", ""},
         [("_AUX1", ["a\x00b"], -1), ("_AUX2", [""], -1), ("_AUX3", ["_AUX1", "é"], -1),
          ("S", ["_AUX3", "_AUX2"], 0), ("", ["😀"], 1)]),
    ],
)
def test_to_cnf_tagged_results(productions, terminals, expected):
    result = _engine.to_cnf_tagged(productions, terminals)
    assert result == expected
    for lhs, rhs, tag in result:
        assert type(lhs) is str and type(rhs) is list and type(tag) is int
        assert all(type(symbol) is str for symbol in rhs)


class Terminals(frozenset):
    def __iter__(self):
        # Iteration, not the stored elements, decides what the set holds.
        yield from ["b", "b", "a"]


def test_subclasses_are_accepted_and_results_are_plain():
    result = _engine.to_cnf_tagged([Pair((Text("S"), (Text("a"), "b")))], Terminals())
    assert result == [("_AUX1", ["a"], -1), ("_AUX2", ["b"], -1), ("S", ["_AUX1", "_AUX2"], 0)]
    assert all(type(lhs) is str and all(type(s) is str for s in rhs) for lhs, rhs, _ in result)


# ---------------------------------------------------------------- internal faults


def test_panic_exception_properties(capfd):
    error = raise_panic()
    panic = type(error)
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert f"{panic.__module__}.{panic.__qualname__}" == "pyo3_runtime.PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__ == PANIC_DOC
    assert set(vars(panic)) <= {"__module__", "__doc__", "__dict__", "__weakref__"}
    assert error.args == (EMPTY_RHS_FAULT,)
    assert type(raise_panic()) is panic  # one type for the whole process
    diagnostic = capfd.readouterr().err
    assert EMPTY_RHS_FAULT in diagnostic
    assert "cnf_conversion.cpp:" in diagnostic


def test_panic_escapes_except_exception():
    with pytest.raises(BaseException) as caught:
        try:
            _engine.to_cnf_tagged([("S", [])], set())
        except Exception:  # noqa: BLE001 - the point: this must not catch it
            pytest.fail("PanicException was caught as an Exception")
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == (EMPTY_RHS_FAULT,)
    # The interpreter and the module stay usable after a fault.
    assert _engine.to_cnf_tagged(WORKED_PRODUCTIONS, {"a", "b"}) == WORKED_RULES


def test_exhausted_memory_becomes_memory_error():
    # The chart of a ten-million-character string cannot be held in memory.
    with pytest.raises(MemoryError):
        _engine.parse_cnf("a" * 10**7, [("S", ["S", "S"], 0), ("S", ["a"], 1)], "S")
    assert _engine.to_cnf_tagged(WORKED_PRODUCTIONS, {"a", "b"}) == WORKED_RULES
