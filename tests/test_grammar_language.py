"""Grammar.parse against the language of the grammar worked out by brute force.

The grammars mix what the engine reads differently from their author: names that
are also terminals, terminals of several characters or none, unit and empty
productions, cycles. A string parses exactly when the grammar derives it, and the
tree is a derivation of the string over the grammar's own productions.
"""

from __future__ import annotations

import itertools

from hypothesis import given, settings, strategies as st

from grammar_engine import Grammar, Nonterminal, Tree

MAX_LENGTH = 4
TERMINALS = ["a", "b", "ab", "", "S"]
NONTERMINALS = ["S", "A", "a"]  # "a" and "S" are terminals too


def _language(productions, start):
    """Every string of at most MAX_LENGTH characters each nonterminal derives (a fixpoint)."""
    derived: dict[str, set[str]] = {}
    changed = True
    while changed:
        changed = False
        for lhs, rhs in productions:
            options = [
                {symbol} if not isinstance(symbol, Nonterminal) else derived.get(str(symbol), set())
                for symbol in rhs
            ]
            found = {""}
            for option in options:
                found = {x + y for x in found for y in option if len(x + y) <= MAX_LENGTH}
            target = derived.setdefault(lhs, set())
            if not found <= target:
                target |= found
                changed = True
    return derived.get(start, set())


def _is_derivation(tree, productions):
    allowed = {
        (lhs, tuple((str(s), isinstance(s, Nonterminal)) for s in rhs)) for lhs, rhs in productions
    }
    stack = [tree]
    while stack:
        node = stack.pop()
        children = tuple((c.label, True) if isinstance(c, Tree) else (c, False) for c in node.children)
        if (node.label, children) not in allowed:
            return False
        stack.extend(c for c in node.children if isinstance(c, Tree))
    return True


symbol = st.one_of(st.sampled_from(TERMINALS), st.sampled_from(NONTERMINALS).map(Nonterminal))
production = st.tuples(st.sampled_from(NONTERMINALS), st.lists(symbol, max_size=3))


@settings(max_examples=150, deadline=None)
@given(st.lists(production, min_size=1, max_size=7))
def test_parse_accepts_exactly_the_language_with_derivations(productions):
    grammar = Grammar(productions, TERMINALS, start="S")
    language = _language(productions, "S")
    texts = [""] + ["".join(p) for n in range(1, MAX_LENGTH + 1) for p in itertools.product("abS", repeat=n)]
    for text in texts:
        tree = grammar.parse(text)
        assert (tree is not None) == (text in language), text
        if tree is not None:
            assert "".join(tree.leaves()) == text
            assert _is_derivation(tree, productions), (text, tree)


@settings(max_examples=150, deadline=None)
@given(
    st.lists(st.tuples(st.sampled_from(NONTERMINALS), st.lists(symbol, min_size=1, max_size=3)), min_size=1, max_size=7),
    st.lists(st.text("abS", min_size=1, max_size=5), min_size=1, max_size=6),
)
def test_score_as_written_is_the_engines_score_without_the_clashes(productions, corpus):
    import warnings

    import _engine

    # By hand: every nonterminal under a long name that is no terminal.
    def plain(s):
        return f"N_{s}" if isinstance(s, Nonterminal) else s

    expected = _engine.grammar_bpc(
        [(plain(Nonterminal(lhs)), [plain(s) for s in rhs]) for lhs, rhs in productions],
        corpus,
        set(TERMINALS),
        "N_S",
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        score = Grammar(productions, TERMINALS, start="S").score(corpus)
    assert score.metrics() == {key: float(value) for key, value in expected.items()} | (
        {} if "l_library" in expected else {"l_library": 0.0, "l_data": 0.0, "total_decisions": 0.0}
    )
