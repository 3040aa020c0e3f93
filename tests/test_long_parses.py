"""Long strings: rows of many words, stored only where something is derivable,
limited to what the rest of the string lets end where; the derivation stays the
one that rule order and the smallest split pick."""

from hypothesis import given, settings, strategies as st

import _engine
import bitset_reference
import reference_model as model

LETTERS = ["a", "b", "c"]
NAMES = ["S", "A", "B", "C", ""]

binary_rules = st.tuples(st.sampled_from(NAMES), st.tuples(st.sampled_from(NAMES), st.sampled_from(NAMES)))
lexical_rules = st.tuples(st.sampled_from(NAMES), st.tuples(st.sampled_from(LETTERS)))


@st.composite
def grammars(draw):
    """Rule lists of a few nonterminals, sometimes closed by rules that make every
    string over the letters derivable, so that long strings parse too."""
    rules = draw(st.lists(st.one_of(binary_rules, lexical_rules), min_size=1, max_size=12))
    if draw(st.booleans()):
        rules += [("S", ("S", "S"))] + [("S", (c,)) for c in LETTERS]
    return [(lhs, list(rhs), draw(st.integers(-1, 20))) for lhs, rhs in rules]


@st.composite
def long_texts(draw, max_size):
    """Repeats of a short piece with a few letters changed: parses are likely where
    the piece parses, and failures come at any position."""
    piece = draw(st.lists(st.sampled_from(LETTERS), min_size=1, max_size=6))
    length = draw(st.integers(1, max_size))
    text = (piece * (length // len(piece) + 1))[:length]
    for position in draw(st.lists(st.integers(0, length - 1), max_size=2)):
        text[position] = draw(st.sampled_from(LETTERS))
    return "".join(text)


@settings(max_examples=150)
@given(rules=grammars(), text=long_texts(12), start=st.sampled_from(NAMES))
def test_bitset_reference_agrees_with_model(rules, text, start):
    assert bitset_reference.parse_cnf(text, rules, start) == model.parse_cnf(text, rules, start)


@settings(max_examples=120)
@given(rules=grammars(), text=long_texts(200), start=st.sampled_from(["S", "A"]))
def test_long_parse_matches_reference(rules, text, start):
    assert _engine.parse_cnf(text, rules, start) == bitset_reference.parse_cnf(text, rules, start)


def test_right_context_decides_what_ends_where():
    # A derives "a" runs; only the run before the final "b" can end an S.
    rules = [
        ("S", ["A", "B"], 0),
        ("A", ["A", "A"], 1),
        ("A", ["a"], 2),
        ("B", ["b"], 3),
        ("S", ["S", "S"], 4),
    ]
    for length in (1, 63, 64, 65, 130, 1000):
        text = "a" * length + "b"
        expected = bitset_reference.parse_cnf(text, rules, "S") if length <= 130 else None
        tags = _engine.parse_cnf(text, rules, "S")
        assert tags is not None and len(tags) == 2 * len(text) - 1
        if expected is not None:
            assert tags == expected
        assert _engine.parse_cnf(text + "a", rules, "S") is None
        assert _engine.parse_cnf("b" + text, rules, "S") is None


def test_many_wide_symbols_across_many_rows():
    # Hundreds of wrapping pairs, as the induction builds them: rows of most
    # symbols stay empty, and strings that fail do so before the fill is done.
    firsts = [chr(0x61 + i) for i in range(12)]  # a .. l
    lasts = [chr(0x41 + i) for i in range(12)]  # A .. L
    productions = []
    for first in firsts:
        for last in lasts:
            productions += [("S", [first, "S", last]), ("S", [first, last])]
    productions.append(("S", ["S", "S"]))
    terminals = set(firsts + lasts + ["z"])
    rules = _engine.to_cnf_tagged(productions, terminals)
    good = "a" + "b" * 20 + "A" * 20 + "B" + "cD" * 20
    bad = good[:50] + "z" + good[50:]
    tags = _engine.parse_cnf(good, rules, "S")
    assert tags is not None and tags == bitset_reference.parse_cnf(good, rules, "S")
    assert _engine.parse_cnf(bad, rules, "S") is None
    metrics = _engine.grammar_bpc(productions, [good, bad, good[1:]], terminals, "S")
    assert metrics["parse_failures"] == 2.0


def test_rows_where_every_span_derives_are_held_without_their_words():
    # S -> S S | a derives every span of "aaa...": a chart of 10^10 bits if held.
    rules = _engine.to_cnf_tagged([("S", ["S", "S"]), ("S", ["a"])], {"a"})
    n = 100_000
    assert _engine.parse_cnf("a" * n, rules, "S") == [0, 1] * (n - 1) + [1]


def test_symbols_with_identical_rules_keep_their_own_rule_order_and_tags():
    # X and Y have the same rules, so they derive the same spans the same way; the
    # rule listed first for S still decides which one's tag is reported. The
    # empty symbol has the same rules as Y but ends the walk at its rule.
    rules = [
        ("A", ["a"], -1),
        ("B", ["b"], -1),
        ("X", ["A", "B"], 3),
        ("Y", ["A", "B"], 3),
        ("", ["A", "B"], 3),
        ("S", ["Y", "A"], 7),
        ("S", ["X", "A"], 8),
        ("S", ["A", ""], 9),
        ("S", ["S", "S"], 10),
    ]
    for text in ["aba", "aab", "abaaab", "aab" * 40 + "aba" * 40]:
        expected = bitset_reference.parse_cnf(text, rules, "S")
        assert expected is not None
        assert _engine.parse_cnf(text, rules, "S") == expected
        if len(text) <= 12:
            assert expected == model.parse_cnf(text, rules, "S")
    assert _engine.parse_cnf("aba", rules, "S") == [7, 3, -1, -1, -1]
    assert _engine.parse_cnf("aab", rules, "S") == [9]


@settings(max_examples=40)
@given(rules=grammars(), texts=st.lists(long_texts(60), min_size=20, max_size=40), start=st.sampled_from(["S", "A"]))
def test_both_charts_give_the_reference_derivations(rules, texts, start):
    # A rule list used again is parsed on one chart for a run of strings, then on
    # the other, then on the quicker: every string gets the same derivation.
    for text in texts:
        assert _engine.parse_cnf(text, rules, start) == bitset_reference.parse_cnf(text, rules, start)


def test_dense_grammar_strings_on_both_charts():
    # Every symbol derives most spans: the chart filled span by span settles each
    # symbol with its first rules that apply, the walk still takes rule order.
    names = ["S", "A", "B", "C", "D"]
    rules = [(lhs, [x, y], 10 * i + j) for i, lhs in enumerate(names) for j, (x, y) in
             enumerate([(names[(i + 1) % 5], names[(i + 2) % 5]), (names[(i + 3) % 5], lhs), (lhs, lhs)])]
    rules += [(lhs, [c], -1) for lhs in names for c in "ab"]
    texts = ["".join("ab"[(i * k + k // 3) % 2] for k in range(8 + i % 50)) for i in range(40)]
    for text in texts:
        assert _engine.parse_cnf(text, rules, "S") == bitset_reference.parse_cnf(text, rules, "S")


PRETERMINALS = {"A": "a", "B": "b", "C": "c", "D": "d", "V": "ab", "W": "cd"}


@st.composite
def many_rule_grammars(draw):
    """A start symbol of dozens of rules, most of them with a one-character symbol
    (deriving one or two letters) at one end, shuffled, beside wide ones; the walk
    then looks only at the rules the end characters of a span allow. Past 64
    rules, short strings are also filled without prediction now and then."""
    narrow = list(PRETERMINALS)
    wide = ["S", "X", "Y"]
    ends = st.sampled_from(narrow + wide)
    pairs = draw(st.lists(st.tuples(ends, ends), min_size=24, max_size=90))
    rules = [("S", [x, y], i) for i, (x, y) in enumerate(pairs)]
    rules += [("X", ["S", "A"], 100), ("X", ["B", "S"], 101), ("Y", ["X", "V"], 102), ("S", ["a"], 103)]
    rules += [(name, [letter], -1) for name, letters in PRETERMINALS.items() for letter in letters]
    return draw(st.permutations(rules))


@settings(max_examples=60)
@given(rules=many_rule_grammars(), texts=st.lists(long_texts(40), min_size=20, max_size=30))
def test_symbols_of_many_rules_walk_in_rule_order(rules, texts):
    texts = [text.replace("c", "cd") for text in texts]
    for text in texts:
        assert _engine.parse_cnf(text, rules, "S") == bitset_reference.parse_cnf(text, rules, "S")


def test_lengths_a_grammar_cannot_derive_are_refused_and_the_rest_parse():
    # Pairs wrapped and concatenated derive even lengths only; three-letter
    # pieces derive multiples of three, which reach every length modulo 64.
    pairs = _engine.to_cnf_tagged([("S", ["a", "S", "b"]), ("S", ["a", "b"]), ("S", ["S", "S"])], {"a", "b"})
    threes = _engine.to_cnf_tagged([("S", ["a", "b", "a"]), ("S", ["S", "S"])], {"a", "b"})
    for length in (2, 3, 62, 63, 64, 65, 66, 127, 128, 129, 190, 192, 1000, 1001):
        paired = "ab" * (length // 2) + "a" * (length % 2)
        tags = _engine.parse_cnf(paired, pairs, "S")
        assert (tags is not None) == (length % 2 == 0)
        if tags is not None and length <= 128:
            assert tags == bitset_reference.parse_cnf(paired, pairs, "S")
        tripled = ("aba" * length)[:length]
        assert (_engine.parse_cnf(tripled, threes, "S") is not None) == (length % 3 == 0)


def test_wrapping_pairs_over_a_large_alphabet():
    # Four hundred characters, each opening a pair with the next: too many
    # symbols and characters for a per-character table, so the rules are found
    # by search; the derivations are the same.
    letters = [chr(0x4E00 + k) for k in range(401)]
    productions = [("S", ["S", "S"])]
    for first, last in zip(letters, letters[1:]):
        productions += [("S", [first, "S", last]), ("S", [first, last])]
    rules = _engine.to_cnf_tagged(productions, set(letters))
    nested = "".join(letters[k] for k in range(0, 10)) + "".join(letters[k + 1] for k in reversed(range(0, 10)))
    texts = [nested, nested * 2, letters[7] + letters[8] + nested, nested[:-1] + letters[0], nested[1:] + letters[3]]
    for text in texts:
        assert _engine.parse_cnf(text, rules, "S") == bitset_reference.parse_cnf(text, rules, "S")
    assert _engine.parse_cnf(nested * 2, rules, "S") is not None


@st.composite
def full_run_grammars(draw):
    """Symbols that come to derive every span from some length on (every letter
    from X and Y, pairs from P, fours from Q, eights from T: the last three only
    up to their one length), symbols that never do (D: strings beginning with c),
    and drawn rules over them, so that what the fill proves from full parts holds
    for a while and then stops."""
    core = ["S", "A", "B"]
    parts = core + ["P", "Q", "T", "X", "Y", "C", "D"]
    pairs = draw(st.lists(st.tuples(st.sampled_from(core), st.sampled_from(parts), st.sampled_from(parts)),
                          min_size=3, max_size=14))
    rules = [(lhs, [x, y], i) for i, (lhs, x, y) in enumerate(pairs)]
    rules += [("P", ["X", "Y"], 50), ("Q", ["P", "P"], 51), ("T", ["Q", "Q"], 52), ("D", ["C", "S"], 53)]
    rules += [(name, [letter], -1) for name in ("X", "Y") for letter in LETTERS] + [("C", ["c"], -1)]
    rules += [(name, [letter], 60) for name in core[: draw(st.integers(0, 3))] for letter in LETTERS]
    return draw(st.permutations(rules))


@settings(max_examples=30, deadline=None)
@given(rules=full_run_grammars(), texts=st.lists(long_texts(150), min_size=20, max_size=24))
def test_spans_proved_from_full_parts_give_the_reference_derivations(rules, texts):
    texts = ["c" + text for text in texts if len(text) >= 8] or ["cab" * 5]
    for text in texts:
        assert _engine.parse_cnf(text, rules, "S") == bitset_reference.parse_cnf(text, rules, "S")


def test_parts_meeting_a_word_or_more_into_the_span():
    # E derives strings that begin with c and hold another c; its parts meet at
    # that second c, 64 to 190 characters in: the part sets are moved across
    # words against each other, and wholly for splits of 128 and more.
    rules = [("S", ["W", "E"], 0), ("E", ["D", "D"], 1), ("D", ["C", "W"], 2), ("W", ["W", "W"], 3)]
    rules += [("W", [x], -1) for x in "abc"] + [("C", ["c"], -1)]
    for first, second in [(60, 130), (5, 70), (61, 190), (1, 129), (63, 198), (2, 4), (100, None)]:
        text = list(("ab" * 100)[:200])
        for position in (first, second):
            if position is not None:
                text[position] = "c"
        text = "".join(text)
        expected = bitset_reference.parse_cnf(text, rules, "S")
        assert (expected is not None) == (second is not None)
        assert _engine.parse_cnf(text, rules, "S") == expected


def test_pair_grammar_rows_across_words():
    # Wrapped and concatenated pairs of 34 kinds: the start symbol has more rules
    # than the span chart takes, so short strings go to rows at fixed places, of
    # one to four words; pairs open in one word and close in another.
    letters = "abcdefgh"
    pairs = [(x, y) for x in letters for y in letters if (ord(x) * 7 + ord(y) * 3) % 11 < 6][:34]
    productions = [("S", ["S", "S"])]
    for first, last in pairs:
        productions += [("S", [first, "S", last]), ("S", [first, last])]
    rules = _engine.to_cnf_tagged(productions, set(letters))

    def nest(depth, shift):
        first, last = pairs[shift % len(pairs)]
        return first + (nest(depth - 1, shift * 5 + 3) if depth > 1 else "") + last

    blocks = [nest(depth, shift) for depth, shift in [(30, 1), (3, 2), (1, 4), (12, 9), (31, 5), (2, 7)]]
    texts = [blocks[0] + blocks[1], blocks[4] + blocks[2] * 3, blocks[3] * 5 + blocks[5], blocks[0] * 3 + blocks[4],
             blocks[2] * 33, blocks[3] + blocks[0] + blocks[1]]
    # Each also with one letter changed, near either end or in the middle.
    texts += [text[:p] + "h" + text[p + 1:] for text in texts for p in (1, len(text) // 2, len(text) - 3)]
    for text in texts:
        expected = bitset_reference.parse_cnf(text, rules, "S")
        assert _engine.parse_cnf(text, rules, "S") == expected
    assert sum(_engine.parse_cnf(text, rules, "S") is not None for text in texts) >= 6


@st.composite
def edge_keyed_grammars(draw):
    """A start symbol of 8 to 20 rules, each with a part that begins (or, drawn
    the other way round, ends) with few letters at that end: a one-letter symbol,
    or one of a chain of wide symbols R, T, U that begin and end with a letter of
    their own and with those of the next, and may derive a letter themselves. The
    other part is one of S, P, Q, which show any letter there. Every string parses
    (S -> S S and S -> each letter, last), and the walk tries a rule only for spans
    whose end letters its part can show."""
    letters = "abcdefghijklmnop"
    narrow = [letter.upper() for letter in letters]
    chain = ["R", "T", "U"]
    few, many = narrow + chain, ["S", "P", "Q"]
    by_first = draw(st.booleans())
    drawn = draw(st.lists(st.tuples(st.sampled_from(few), st.sampled_from(many)), min_size=8, max_size=20))
    rules = [("S", [x, y] if by_first else [y, x], i) for i, (x, y) in enumerate(drawn)]
    for k, name in enumerate(chain):
        first, last = narrow[k], narrow[k + 8]
        rules.append((name, [first, last], 30 + k))
        if k + 1 < len(chain):
            rules += [(name, [chain[k + 1], last], 35 + k), (name, [first, chain[k + 1]], 40 + k)]
        if draw(st.booleans()):
            rules.append((name, [letters[k + 4]], 45 + k))
    rules += [("P", ["S", "A"], 48), ("Q", ["B", "S"], 49)]
    rules += [(name, [name.lower()], -1) for name in narrow]
    # Last, so that the drawn rules are the ones the walk has to find.
    return draw(st.permutations(rules)) + [("S", ["S", "S"], 50)] + [("S", [letter], 51) for letter in letters]


@settings(max_examples=80)
@given(rules=edge_keyed_grammars(), texts=st.lists(st.text("abcdefghijklmnop", min_size=2, max_size=24),
                                                   min_size=8, max_size=16))
def test_rules_are_tried_by_the_letters_their_parts_begin_and_end_with(rules, texts):
    for text in texts:
        assert _engine.parse_cnf(text, rules, "S") == bitset_reference.parse_cnf(text, rules, "S")
