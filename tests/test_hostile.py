"""Hostile Python objects at the boundary: containers that edit themselves or drop
their items while being converted, lying dunder methods, odd sequence types and
deep nesting. Each call gives an exception or the correct result, never a crash,
and leaves every reference count as it found it. Run under scripts/sanitize, a
use of a freed object shows up as an AddressSanitizer report."""

import array
import collections
import gc
import sys

import pytest

import _engine
from conftest import WORKED_PRODUCTIONS, WORKED_RULES, Items, Pair

PRODUCTIONS = [("S", ["a", "S", "b"]), ("S", ["a", "b"]), ("S", ["a"])]
RULES = _engine.to_cnf_tagged(PRODUCTIONS, {"a", "b"})
CORPUS = ["ab", "aabb", "ba", "aab"]


def fresh(text):
    """A new str object that nothing else refers to (literals are shared and immortal)."""
    return "".join(list(text))


def fresh_productions():
    return [(fresh(lhs), [fresh(s) for s in rhs]) for lhs, rhs in PRODUCTIONS]


def fresh_rules(offset=0):
    # With an offset above 256 the tags are int objects of their own (small ints are shared).
    return [(fresh(lhs), [fresh(s) for s in rhs], int(str(offset + tag))) for lhs, rhs, tag in RULES]


# ---------------------------------------------------------------- containers that edit themselves


class DrainingList(list):
    """Hands out its items while removing them from itself, so that after each item
    is handed over the engine holds the only reference to it."""

    def __iter__(self):
        while len(self):
            yield self.pop(0)


class GrowingList(list):
    """Appends fresh copies of its items while being iterated, up to a cap."""

    def __iter__(self):
        index = 0
        while index < len(self):
            if len(self) < 40:
                self.append(fresh(self[index]) if isinstance(self[index], str) else self[index])
            yield self[index]
            index += 1


class ClearingList(list):
    """Clears itself after handing out its first item."""

    def __iter__(self):
        first = self[0]
        self.clear()
        yield first


class DrainingSet(set):
    """Empties itself before handing out its elements one by one."""

    def __iter__(self):
        items = list(set.__iter__(self))
        self.clear()
        while items:
            yield items.pop()


class GrowingSet(set):
    """Adds to itself while its own iterator runs: the set iterator must object."""

    def __iter__(self):
        for item in set.__iter__(self):
            self.add(fresh(item) + "!")
            yield item


def test_draining_sequences_give_the_plain_results():
    expected_rules = _engine.to_cnf_tagged(PRODUCTIONS, {"a", "b"})
    productions = DrainingList((fresh(lhs), DrainingList(fresh(s) for s in rhs)) for lhs, rhs in PRODUCTIONS)
    assert _engine.to_cnf_tagged(productions, DrainingSet({fresh("a"), fresh("b")})) == expected_rules
    assert productions == []

    rules = DrainingList((lhs, DrainingList(rhs), tag) for lhs, rhs, tag in fresh_rules())
    assert _engine.parse_cnf(fresh("aabb"), rules, fresh("S")) == _engine.parse_cnf("aabb", RULES, "S")

    corpus = DrainingList(fresh(s) for s in CORPUS)
    assert _engine.grammar_bpc(fresh_productions(), corpus, DrainingSet({fresh("a"), fresh("b")}), fresh("S")) == (
        _engine.grammar_bpc(PRODUCTIONS, CORPUS, {"a", "b"}, "S")
    )

    train = ["ab", "aabb", "ab", "aaabbb", "ab"]
    test = ["ab", "abab"]
    result = _engine.induce_full(
        DrainingList(fresh(s) for s in train), DrainingList(fresh(s) for s in test),
        DrainingList([fresh("a"), fresh("b")]),
    )
    assert result == _engine.induce_full(train, test, ["a", "b"])


def test_growing_sequences_are_read_to_their_final_length():
    corpus = GrowingList(fresh(s) for s in CORPUS)
    result = _engine.grammar_bpc(PRODUCTIONS, corpus, {"a", "b"}, "S")
    assert len(corpus) == 40
    assert result == _engine.grammar_bpc(PRODUCTIONS, list(corpus), {"a", "b"}, "S")

    alphabet = GrowingList(["a", "b"])
    train = GrowingList(["ab", "abab", "aabb"])
    result = _engine.induce_full(train, ["ab"], alphabet)
    assert result == _engine.induce_full(list(train), ["ab"], list(alphabet))


def test_cleared_sequences_end_early():
    assert _engine.to_cnf_tagged(ClearingList(PRODUCTIONS), set()) == [
        ("_AUX1", ["a", "S"], -1), ("S", ["_AUX1", "b"], 0)]
    metrics = _engine.grammar_bpc(PRODUCTIONS, ClearingList([fresh("ba"), fresh("ab")]), {"a", "b"}, "S")
    assert metrics["parse_failures"] == 1.0


def test_set_growing_during_its_own_iteration_raises():
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        _engine.to_cnf_tagged(PRODUCTIONS, GrowingSet({fresh("a"), fresh("b")}))
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        _engine.grammar_bpc(PRODUCTIONS, CORPUS, GrowingSet({"a"}), "S")


class IndexThatEdits:
    """A tag whose conversion empties the rule list it sits in."""

    def __init__(self, rules, value):
        self.rules, self.value = rules, value

    def __index__(self):
        self.rules.clear()
        return self.value


def test_tag_conversion_that_clears_the_rule_list():
    rules = []
    rules.extend([(fresh("S"), [fresh("a")], IndexThatEdits(rules, 5)), ("S", ["b"], 1)])
    # Only the rule already taken counts; its texts are the engine's own copies.
    assert _engine.parse_cnf("a", rules, "S") == [5]
    assert rules == []


class Big(int):
    pass


@pytest.mark.parametrize(
    "tag, outcome",
    [
        (Big(2**31 - 1), [2**31 - 1]),
        (Big(-(2**31)), [-(2**31)]),
        (Big(2**31), OverflowError),
        (Big(2**64), OverflowError),
        (Big(-(2**200)), OverflowError),
        (type("HugeIndex", (), {"__index__": lambda self: 2**100})(), OverflowError),
        (type("NegIndex", (), {"__index__": lambda self: -(2**63) - 1})(), OverflowError),
        (type("BadIndex", (), {"__index__": lambda self: "7"})(), TypeError),
        (type("RaisingIndex", (), {"__index__": lambda self: 1 // 0})(), ZeroDivisionError),
        (type("MemoryIndex", (), {"__index__": lambda self: (_ for _ in ()).throw(MemoryError)})(), MemoryError),
    ],
    ids=["int32 max", "int32 min", "2**31", "2**64", "-2**200", "__index__ 2**100", "__index__ -2**63-1",
         "__index__ str", "__index__ raises", "__index__ MemoryError"],
)
def test_odd_tags(tag, outcome):
    rules = [("S", ["a"], tag)]
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            _engine.parse_cnf("a", rules, "S")
    else:
        assert _engine.parse_cnf("a", rules, "S") == outcome
    assert _engine.parse_cnf("a", [("S", ["a"], 3)], "S") == [3]


# ---------------------------------------------------------------- lying objects


class OddStr(str):
    """A str whose Python-level behaviour lies; the engine must read its characters."""

    def __hash__(self):
        raise RuntimeError("hash must not be used")

    def __eq__(self, other):
        raise RuntimeError("equality must not be used")

    def __len__(self):
        return 0

    def __iter__(self):
        return iter("zzz")

    def __getitem__(self, index):
        return "z"

    def __str__(self):
        return "lie"

    def encode(self, *args, **kwargs):
        return b"lie"


class OddTerminals(frozenset):
    """Holds no elements itself; its iteration yields OddStr items (which cannot be hashed)."""

    def __iter__(self):
        return iter([OddStr("a"), OddStr("b"), OddStr("a")])


def test_str_subclasses_are_read_by_their_characters():
    odd_productions = [(OddStr(lhs), [OddStr(s) for s in rhs]) for lhs, rhs in PRODUCTIONS]
    assert _engine.to_cnf_tagged(odd_productions, OddTerminals()) == RULES
    odd_rules = [(OddStr(lhs), [OddStr(s) for s in rhs], tag) for lhs, rhs, tag in RULES]
    assert _engine.parse_cnf(OddStr("aabb"), odd_rules, OddStr("S")) == _engine.parse_cnf("aabb", RULES, "S")
    assert _engine.grammar_bpc(odd_productions, [OddStr(s) for s in CORPUS], OddTerminals(), OddStr("S")) == (
        _engine.grammar_bpc(PRODUCTIONS, CORPUS, {"a", "b"}, "S")
    )
    train = ["ab", "aabb", "ab", "ab"]
    assert _engine.induce_full([OddStr(s) for s in train], [OddStr("abab")], [OddStr("a"), OddStr("b")]) == (
        _engine.induce_full(train, ["abab"], ["a", "b"])
    )


class PretendsToBeStr:
    """isinstance() says str, but the object is not one."""

    @property
    def __class__(self):
        return str


class LyingPair(tuple):
    def __len__(self):
        return 2


class Rejecting(tuple):
    def __iter__(self):
        raise AssertionError("tuple items are read directly")


@pytest.mark.parametrize(
    "name, args, kind, message",
    [
        ("parse_cnf", (PretendsToBeStr(), RULES, "S"), TypeError,
         "argument 's': 'PretendsToBeStr' object cannot be converted to 'PyString'"),
        ("to_cnf_tagged", ([LyingPair(("S", ["a"], "extra"))], set()), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
        ("to_cnf_tagged", ([Rejecting(("S", ("a", "b")))], set()), None,
         [("S", ["a", "b"], 0)]),
        # A str subclass is still a str where a sequence is asked for.
        ("grammar_bpc", ([], OddStr("ab"), set(), "S"), TypeError,
         "argument 'corpus': Can't extract `str` to `Vec`"),
        # Byte strings, ranges and memoryviews are sequences of ints.
        ("grammar_bpc", ([], b"ab", set(), "S"), TypeError,
         "argument 'corpus': 'int' object cannot be converted to 'PyString'"),
        ("grammar_bpc", ([], bytearray(b"ab"), set(), "S"), TypeError,
         "argument 'corpus': 'int' object cannot be converted to 'PyString'"),
        ("to_cnf_tagged", (range(3), set()), TypeError,
         "argument 'productions': 'int' object cannot be converted to 'PyTuple'"),
        ("induce_full", (memoryview(b"ab"), [], []), TypeError,
         "argument 'corpus_train': 'int' object cannot be converted to 'PyString'"),
        # Empty ones are valid empty sequences.
        ("to_cnf_tagged", (range(0), frozenset()), None, []),
        ("induce_full", (b"", bytearray(), range(0)), None,
         {"strategy": "", "bpc": float("inf"), "grammar": [], "productions": []}),
        # Arrays of characters and deques are sequences of str.
        ("induce_full", (collections.deque(["ab"] * 3), array.array("w", "ab"), array.array("w", "ab")), None,
         _engine.induce_full(["ab"] * 3, ["a", "b"], ["a", "b"])),
        ("to_cnf_tagged", ([("S", array.array("w", "xyz"))], set()), None,
         [("_AUX1", ["x", "y"], -1), ("S", ["_AUX1", "z"], 0)]),
        # Mappings and iterators are not sequences.
        ("grammar_bpc", ([], collections.OrderedDict(a=1), set(), "S"), TypeError,
         "argument 'corpus': 'OrderedDict' object cannot be converted to 'Sequence'"),
        ("grammar_bpc", ([], iter(["ab"]), set(), "S"), TypeError,
         "argument 'corpus': 'list_iterator' object cannot be converted to 'Sequence'"),
    ],
)
def test_odd_sequences_and_tuples(name, args, kind, message):
    function = getattr(_engine, name)
    if kind is None:
        assert function(*args) == message
    else:
        with pytest.raises(kind) as caught:
            function(*args)
        assert type(caught.value) is kind and str(caught.value) == message


class NonIterator:
    """__iter__ returns something that is not an iterator."""

    def __getitem__(self, index):
        return "ab"

    def __iter__(self):
        return 5


class RaisingAtStart:
    def __getitem__(self, index):
        return "ab"

    def __iter__(self):
        raise LookupError("no iteration today")


class NextRaisesStop:
    """An iterator whose __next__ raises StopIteration with a value."""

    def __getitem__(self, index):
        return "ab"

    def __iter__(self):
        return self

    def __next__(self):
        raise StopIteration("done")


def test_broken_iteration_protocols():
    with pytest.raises(TypeError) as caught:
        _engine.grammar_bpc([], NonIterator(), set(), "S")
    assert str(caught.value).startswith("argument 'corpus': ") and "non-iterator" in str(caught.value)
    with pytest.raises(LookupError, match="no iteration today"):
        _engine.induce_full([], RaisingAtStart(), [])
    assert _engine.grammar_bpc([], NextRaisesStop(), set(), "S") == {"bpc_with_lib": float("inf"),
                                                                    "parse_failures": 0.0}


def nested(depth, leaf):
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize(
    "name, args, message",
    [
        ("to_cnf_tagged", (nested(100_000, ("S", ["a"])), set()),
         "argument 'productions': 'list' object cannot be converted to 'PyTuple'"),
        ("to_cnf_tagged", ([("S", nested(100_000, "a"))], set()),
         "argument 'productions': 'list' object cannot be converted to 'PyString'"),
        ("parse_cnf", ("a", [("S", ["a"], nested(50_000, 0))], "S"),
         "argument 'cnf_rules': 'list' object cannot be interpreted as an integer"),
        ("induce_full", ([], [], nested(100_000, "a")),
         "argument 'alphabet': 'list' object cannot be converted to 'PyString'"),
    ],
)
def test_deep_nesting_is_refused_without_recursion(name, args, message):
    with pytest.raises(TypeError) as caught:
        getattr(_engine, name)(*args)
    assert str(caught.value) == message


def test_self_containing_containers():
    loop = []
    loop.append(loop)
    with pytest.raises(TypeError, match="'list' object cannot be converted to 'PyTuple'"):
        _engine.to_cnf_tagged(loop, set())
    pair = []
    pair.append(("S", pair))
    with pytest.raises(TypeError, match="'tuple' object cannot be converted to 'PyString'"):
        _engine.to_cnf_tagged(pair, set())


# ---------------------------------------------------------------- lying lengths and edits during conversion

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


# ---------------------------------------------------------------- reference counts


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def every_object(value, seen=None):
    """`value` and everything it contains, each once."""
    seen = {} if seen is None else seen
    if id(value) in seen:
        return seen
    seen[id(value)] = value
    if isinstance(value, (list, tuple, set, frozenset)):
        for item in value:
            every_object(item, seen)
    return seen


def args_and_outcome(name):
    """A fresh argument tuple per case, for success and failure paths of every function."""
    cases = {
        "to_cnf_tagged ok": ("to_cnf_tagged", (fresh_productions(), {fresh("a"), fresh("b")})),
        "to_cnf_tagged panic": ("to_cnf_tagged", ([(fresh("S"), [fresh("a")]), (fresh("S"), [])], set())),
        "to_cnf_tagged bad item": ("to_cnf_tagged", (fresh_productions() + [(fresh("S"), [fresh("a"), 7])], set())),
        "to_cnf_tagged bad length": ("to_cnf_tagged", ([(fresh("S"), [fresh("a")], fresh("x"))], set())),
        "parse_cnf ok": ("parse_cnf", (fresh("aabb"), fresh_rules(1000), fresh("S"))),
        "parse_cnf none": ("parse_cnf", (fresh("ba"), fresh_rules(1000), fresh("S"))),
        "parse_cnf overflow": ("parse_cnf", (fresh("a"), fresh_rules(1000) + [(fresh("S"), [fresh("a")], 2**40)],
                                             fresh("S"))),
        # S -> a S b | a b | S S on "aabb...": a chart of terabytes.
        "parse_cnf memory": ("parse_cnf", ("aabb" * 10**6, [(fresh("S"), [fresh("A"), fresh("T")], int("1000")),
                                                            (fresh("T"), [fresh("S"), fresh("B")], int("1001")),
                                                            (fresh("S"), [fresh("A"), fresh("B")], int("1002")),
                                                            (fresh("S"), [fresh("S"), fresh("S")], int("1003")),
                                                            (fresh("A"), [fresh("a")], int("1004")),
                                                            (fresh("B"), [fresh("b")], int("1005"))], fresh("S"))),
        "grammar_bpc ok": ("grammar_bpc", (fresh_productions(), [fresh(s) for s in CORPUS],
                                           {fresh("a"), fresh("b")}, fresh("S"))),
        "grammar_bpc bad start": ("grammar_bpc", (fresh_productions(), [fresh(s) for s in CORPUS],
                                                  {fresh("a")}, [fresh("S")])),
        "grammar_bpc surrogate": ("grammar_bpc", (fresh_productions(), [fresh("ab"), "\udc80" + fresh("x")],
                                                  {fresh("a")}, fresh("S"))),
        "induce_full ok": ("induce_full", ([fresh(s) for s in ["ab", "aabb", "ab", "ab"]],
                                           [fresh("abab")], [fresh("a"), fresh("b")])),
        "induce_full bad alphabet": ("induce_full", ([fresh("ab")], [fresh("ab")], {fresh("a")})),
    }
    return cases[name]


REFCOUNT_CASES = [
    "to_cnf_tagged ok", "to_cnf_tagged panic", "to_cnf_tagged bad item", "to_cnf_tagged bad length",
    "parse_cnf ok", "parse_cnf none", "parse_cnf overflow", "parse_cnf memory",
    "grammar_bpc ok", "grammar_bpc bad start", "grammar_bpc surrogate",
    "induce_full ok", "induce_full bad alphabet",
]


@pytest.mark.parametrize("case", REFCOUNT_CASES)
def test_arguments_keep_their_reference_counts(case, capfd):
    name, args = args_and_outcome(case)
    objects = list(every_object(args).values())
    gc.collect()
    before = refcounts(objects)
    result = None
    try:
        result = getattr(_engine, name)(*args)
    except BaseException:  # noqa: BLE001 - the error paths are what is measured
        pass
    gc.collect()
    assert refcounts(objects) == before
    if result is not None:
        # The result is new and owned by the caller alone.
        assert sys.getrefcount(result) == 2
    capfd.readouterr()  # the panic path writes a diagnostic
