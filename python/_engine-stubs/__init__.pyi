# Type stubs for the native module _engine: tagged CNF conversion, CYK parsing,
# corpus scoring and grammar induction. Names starting with "_" exist only here.
from collections.abc import Sequence
from typing import TypedDict

__all__ = ["to_cnf_tagged", "parse_cnf", "grammar_bpc", "induce_full"]

# A natural production: the left-hand symbol and the right-hand symbols.
_Production = tuple[str, Sequence[str]]
# A tagged CNF rule as parse_cnf takes it: (lhs, rhs, tag), the tag a signed 32-bit int.
_TaggedRuleInput = tuple[str, Sequence[str], int]
# A tagged CNF rule as to_cnf_tagged returns it.
_TaggedRule = tuple[str, list[str], int]
_TerminalSet = set[str] | frozenset[str]

class _InductionResult(TypedDict):
    strategy: str
    bpc: float
    grammar: list[str]
    productions: list[tuple[str, list[str]]]

def to_cnf_tagged(productions: Sequence[_Production], terminals: _TerminalSet) -> list[_TaggedRule]:
    """Convertit des productions naturelles en CNF taguée."""

def parse_cnf(s: str, cnf_rules: Sequence[_TaggedRuleInput], start: str) -> list[int] | None:
    """Parse a string against CNF productions; returns the tag sequence or None."""

def grammar_bpc(
    productions: Sequence[_Production], corpus: Sequence[str], terminals: _TerminalSet, start: str
) -> dict[str, float]:
    """Score grammars on a corpus using the native fast path (avoids Python round-trips)."""

def induce_full(
    corpus_train: Sequence[str], corpus_test: Sequence[str], alphabet: Sequence[str]
) -> _InductionResult:
    """Pipeline complet Quill : build 3 strategies + prune + score + retourne la meilleure."""
