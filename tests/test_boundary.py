"""The Python face of _engine: module, argument binding, argument conversion,
error mapping and the shape of to_cnf_tagged's result."""

import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import _engine

WORKED_PRODUCTIONS = [("S", ["a", "S", "b"]), ("S", ["a", "b"]), ("S", ["a"])]
WORKED_RULES = [
    ("_AUX1", ["a"], -1),
    ("_AUX2", ["b"], -1),
    ("_AUX3", ["_AUX1", "S"], -1),
    ("S", ["_AUX3", "_AUX2"], 0),
    ("S", ["_AUX1", "_AUX2"], 1),
    ("S", ["a"], 2),
]
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


class Outer:
    class Inner:
        pass


class Items:
    """A sequence by item access only, with a configurable __len__."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = length

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length


class RaisingIter:
    """A sequence whose iteration raises `error` after its first item."""

    def __init__(self, first, error):
        self.first, self.error = first, error

    def __getitem__(self, index):
        raise AssertionError("iteration must use __iter__")

    def __iter__(self):
        yield self.first
        raise self.error


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

class Keyword(str):
    """A keyword name whose equality and text lie: binding must read the characters."""

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__

    def __str__(self):
        return "lie"


BINDING_ERRORS = [
    ("to_cnf_tagged", ([],), {},
     "to_cnf_tagged() missing 1 required positional argument: 'terminals'"),
    ("to_cnf_tagged", (), {},
     "to_cnf_tagged() missing 2 required positional arguments: 'productions' and 'terminals'"),
    ("induce_full", (), {},
     "induce_full() missing 3 required positional arguments: "
     "'corpus_train', 'corpus_test', and 'alphabet'"),
    ("grammar_bpc", ([],), {"terminals": set()},
     "grammar_bpc() missing 2 required positional arguments: 'corpus' and 'start'"),
    ("grammar_bpc", (1, 2, 3, 4, 5), {},
     "grammar_bpc() takes 4 positional arguments but 5 were given"),
    ("to_cnf_tagged", (1, 2, 3), {"bogus": 1},
     "to_cnf_tagged() takes 2 positional arguments but 3 were given"),
    ("parse_cnf", ("a", [], "S"), {"start": "S"},
     "parse_cnf() got multiple values for argument 'start'"),
    ("to_cnf_tagged", ([], set()), {"bogus": 1},
     "to_cnf_tagged() got an unexpected keyword argument 'bogus'"),
    # The first offending keyword decides, and keyword errors come before missing ones.
    ("to_cnf_tagged", ([],), {"bogus": 1, "productions": []},
     "to_cnf_tagged() got an unexpected keyword argument 'bogus'"),
    ("to_cnf_tagged", ([],), {"productions": [], "bogus": 1},
     "to_cnf_tagged() got multiple values for argument 'productions'"),
    ("to_cnf_tagged", (), {"Productions": []},
     "to_cnf_tagged() got an unexpected keyword argument 'Productions'"),
    ("to_cnf_tagged", ([], set()), {Keyword("bogus"): 1},
     "to_cnf_tagged() got an unexpected keyword argument 'bogus'"),
    ("to_cnf_tagged", ([], set()), {"\udc80é": 1},
     "to_cnf_tagged() got an unexpected keyword argument '\udc80é'"),
    # Binding fails before any argument is looked at.
    ("to_cnf_tagged", ("not a sequence",), {},
     "to_cnf_tagged() missing 1 required positional argument: 'terminals'"),
]


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

GOOD_RULES = [("S", ["a"], 0)]

# (function, arguments, exact TypeError message); each text of the conversion rules
# appears, and each parameter kind is refused at least once.
CONVERSION_ERRORS = [
    ("to_cnf_tagged", ("ab", set()), "argument 'productions': Can't extract `str` to `Vec`"),
    ("to_cnf_tagged", ({"S": ["a"]}, set()),
     "argument 'productions': 'dict' object cannot be converted to 'Sequence'"),
    ("to_cnf_tagged", ((p for p in WORKED_PRODUCTIONS), set()),
     "argument 'productions': 'generator' object cannot be converted to 'Sequence'"),
    ("to_cnf_tagged", ([["S", ["a"]]], set()),
     "argument 'productions': 'list' object cannot be converted to 'PyTuple'"),
    ("to_cnf_tagged", ([("S", "ab")], set()),
     "argument 'productions': Can't extract `str` to `Vec`"),
    ("to_cnf_tagged", ([(1, "ab")], set()),
     "argument 'productions': 'int' object cannot be converted to 'PyString'"),
    ("to_cnf_tagged", ([("S", ["a", None])], set()),
     "argument 'productions': 'NoneType' object cannot be converted to 'PyString'"),
    ("to_cnf_tagged", ([], ["a"]), "argument 'terminals': 'list' object cannot be converted to 'PySet'"),
    ("to_cnf_tagged", ([], {"a": 1}.keys()),
     "argument 'terminals': 'dict_keys' object cannot be converted to 'PySet'"),
    ("to_cnf_tagged", ([], {"a", 1}), "argument 'terminals': 'int' object cannot be converted to 'PyString'"),
    ("to_cnf_tagged", ([], {Outer.Inner()}),
     "argument 'terminals': 'Outer.Inner' object cannot be converted to 'PyString'"),
    ("parse_cnf", (b"a", GOOD_RULES, "S"), "argument 's': 'bytes' object cannot be converted to 'PyString'"),
    ("parse_cnf", ("a", "S", "S"), "argument 'cnf_rules': Can't extract `str` to `Vec`"),
    ("parse_cnf", ("a", [("S", ["a"], "0")], "S"),
     "argument 'cnf_rules': 'str' object cannot be interpreted as an integer"),
    ("parse_cnf", ("a", [("S", ["a"], 1.0)], "S"),
     "argument 'cnf_rules': 'float' object cannot be interpreted as an integer"),
    ("parse_cnf", ("a", [("S", "a", 0)], "S"), "argument 'cnf_rules': Can't extract `str` to `Vec`"),
    ("parse_cnf", ("a", GOOD_RULES, None),
     "argument 'start': 'NoneType' object cannot be converted to 'PyString'"),
    ("grammar_bpc", ([], "ab", set(), "S"), "argument 'corpus': Can't extract `str` to `Vec`"),
    ("grammar_bpc", ([], b"ab", set(), "S"),
     "argument 'corpus': 'int' object cannot be converted to 'PyString'"),
    ("grammar_bpc", ([], [], frozenset(), 0),
     "argument 'start': 'int' object cannot be converted to 'PyString'"),
    ("induce_full", ("ab", [], []), "argument 'corpus_train': Can't extract `str` to `Vec`"),
    ("induce_full", ([], "ab", []), "argument 'corpus_test': Can't extract `str` to `Vec`"),
    ("induce_full", ([], [], "ab"), "argument 'alphabet': Can't extract `str` to `Vec`"),
    ("induce_full", ([], [], {"a"}), "argument 'alphabet': 'set' object cannot be converted to 'Sequence'"),
    # Declaration order decides which bad argument is reported, whatever the call order.
    ("to_cnf_tagged", ("x", 5), "argument 'productions': Can't extract `str` to `Vec`"),
    ("grammar_bpc", ([], None, None, None),
     "argument 'corpus': 'NoneType' object cannot be converted to 'Sequence'"),
]


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


# (function, arguments, exception type): errors other than exactly TypeError reach the
# caller unchanged, without the "argument" prefix.
PASSED_THROUGH = [
    ("to_cnf_tagged", ([("S", ["a"], 0)], set()), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("to_cnf_tagged", ([()], set()), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ("parse_cnf", ("a", [("S", ["a"])], "S"), ValueError,
     "expected tuple of length 3, but got tuple of length 2"),
    ("parse_cnf", ("a", [("S", ["a"], 2**31)], "S"), OverflowError, None),
    ("parse_cnf", ("a", [("S", ["a"], -(2**31) - 1)], "S"), OverflowError, None),
    ("parse_cnf", ("a", [("S", ["a"], 2**32 + 1)], "S"), OverflowError, None),
    ("parse_cnf", ("a", [("S", ["a"], 2**100)], "S"), OverflowError, None),
    ("parse_cnf", ("\ud800", GOOD_RULES, "S"), UnicodeEncodeError, None),
    ("parse_cnf", ("a", GOOD_RULES, "S\udfff"), UnicodeEncodeError, None),
    ("to_cnf_tagged", ([("S\ud800", ["a"])], set()), UnicodeEncodeError, None),
    ("to_cnf_tagged", ([], {"\ud800"}), UnicodeEncodeError, None),
    ("grammar_bpc", ([], ["ok", "\udc00"], set(), "S"), UnicodeEncodeError, None),
    ("induce_full", ([], [], ["a", "\udc00"]), UnicodeEncodeError, None),
]


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
    result = _engine.parse_cnf("a", [("S", ["a"], tag)], "S")
    assert result is None or isinstance(result, list)


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def test_tag_through_index_is_accepted():
    assert _engine.parse_cnf("", [("S", ["a"], Index(7))], "S") is None


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


class Text(str):
    pass


class Pair(tuple):
    def __getitem__(self, index):
        raise AssertionError("tuple items are read directly")


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


# ---------------------------------------------------------------- hostile sequences

HUGE_LENGTHS = [sys.maxsize, 2**100, -1, ValueError("no length"), TypeError("no length"),
                KeyboardInterrupt()]


@pytest.mark.parametrize("length", HUGE_LENGTHS, ids=repr)
def test_reported_lengths_do_not_matter(length):
    productions = Items([Pair(p) for p in WORKED_PRODUCTIONS], length)
    assert _engine.to_cnf_tagged(productions, {"a", "b"}) == WORKED_RULES
    rhs = Items(["x", "y"], length)
    assert _engine.to_cnf_tagged([("S", rhs)], set()) == [("S", ["x", "y"], 0)]
    corpus = ["ab", "ba", "aabb"]
    wrapped = Items(corpus, length)
    assert _engine.grammar_bpc(WORKED_PRODUCTIONS, wrapped, {"a", "b"}, "S") == _engine.grammar_bpc(
        WORKED_PRODUCTIONS, corpus, {"a", "b"}, "S"
    )
    assert _engine.induce_full(wrapped, wrapped, Items(["a", "b"], length)) == _engine.induce_full(
        corpus, corpus, ["a", "b"]
    )
    rules = Items([(r[0], Items(r[1], length), r[2]) for r in WORKED_RULES], length)
    assert _engine.parse_cnf("aabb", rules, "S") == _engine.parse_cnf("aabb", WORKED_RULES, "S")


class Mutating:
    """A right-hand side whose iteration edits the production list being converted."""

    def __init__(self, productions, edit):
        self.productions, self.edit = productions, edit

    def __getitem__(self, index):
        return ["a", "b"][index]

    def __iter__(self):
        self.edit(self.productions)
        yield from ["a", "b"]


@pytest.mark.parametrize(
    "edit, expected",
    [
        (list.clear, [("S", ["a", "b"], 0)]),
        (lambda ps: ps.append(("T", ["c"])) if len(ps) < 3 else None,
         [("S", ["a", "b"], 0), ("R", ["d"], 1), ("T", ["c"], 2)]),
        (lambda ps: ps.__setitem__(slice(None), [0] * 1000), "fail"),
    ],
)
def test_sequence_edited_during_conversion(edit, expected):
    productions = []
    productions.extend([("S", Mutating(productions, edit)), ("R", ["d"])])
    if expected == "fail":
        with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyTuple'"):
            _engine.to_cnf_tagged(productions, set())
    else:
        assert _engine.to_cnf_tagged(productions, set()) == expected


def test_fresh_items_stay_alive_while_used():
    class Fresh:
        """Hands out a new str object on every access, referenced nowhere else."""

        def __init__(self, count):
            self.count = count

        def __getitem__(self, index):
            if index >= self.count:
                raise IndexError(index)
            return "".join(["ab"] * (index % 7 + 1))

    # The engine reads the texts after the whole corpus is converted, so each item
    # must still be alive then.
    corpus = Fresh(500)
    plain = list(corpus)
    assert _engine.grammar_bpc(WORKED_PRODUCTIONS, corpus, {"a", "b"}, "S") == _engine.grammar_bpc(
        WORKED_PRODUCTIONS, plain, {"a", "b"}, "S"
    )
    assert _engine.induce_full(corpus, corpus, Fresh(2)) == _engine.induce_full(plain, plain, ["ab", "abab"])


def test_exhausted_memory_becomes_memory_error():
    # The chart of a ten-million-character string cannot be held in memory.
    with pytest.raises(MemoryError):
        _engine.parse_cnf("a" * 10**7, [("S", ["S", "S"], 0), ("S", ["a"], 1)], "S")
    assert _engine.to_cnf_tagged(WORKED_PRODUCTIONS, {"a", "b"}) == WORKED_RULES
