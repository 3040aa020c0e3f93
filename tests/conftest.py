"""Shared test settings and cases.

Hypothesis profiles are chosen by ENGINE_HYPOTHESIS_PROFILE: "ci" (the default)
keeps the suite quick, "sanitize" runs fewer examples under the slower sanitizer
build, and "long" is for long local runs.

The worked grammar, the boundary's refusal tables and the odd objects below serve
the boundary, hostile-object and leak tests alike (`from conftest import ...`).
"""

import os
import signal

import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci", max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "sanitize", max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "long", max_examples=20000, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("ENGINE_HYPOTHESIS_PROFILE", "ci"))

# A process started with Ctrl-C ignored (a background job of a script) passes that
# on to its children, which then rightly keep ignoring it: nothing to test there.
interruptible = pytest.mark.skipif(
    signal.getsignal(signal.SIGINT) is signal.SIG_IGN, reason="started with SIGINT ignored"
)


WORKED_PRODUCTIONS = [("S", ["a", "S", "b"]), ("S", ["a", "b"]), ("S", ["a"])]
WORKED_RULES = [
    ("_AUX1", ["a"], -1),
    ("_AUX2", ["b"], -1),
    ("_AUX3", ["_AUX1", "S"], -1),
    ("S", ["_AUX3", "_AUX2"], 0),
    ("S", ["_AUX1", "_AUX2"], 1),
    ("S", ["a"], 2),
]

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


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Text(str):
    pass


class Pair(tuple):
    def __getitem__(self, index):
        raise AssertionError("tuple items are read directly")
