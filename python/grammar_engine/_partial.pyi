# Type stubs for grammar_engine._partial: the count-level steps of scoring and
# induction on plain values, for corpora processed in chunks.
from collections.abc import Sequence
from typing import Any

# A natural production: the left-hand symbol and the right-hand symbols.
_Production = tuple[str, Sequence[str]]
_TerminalSet = set[str] | frozenset[str]
# Packed pair counts (boundary, bigram): 16-byte entries, key and count little-endian.
_PairStats = tuple[bytes, bytes]
# (uses per production, parse failures, failed bytes, corpus bytes).
_DerivationCounts = tuple[list[int], int, int, int]

def pair_stats(lines: Sequence[str]) -> _PairStats: ...
def merge_pair_stats(stats: Sequence[_PairStats]) -> _PairStats: ...
def candidates(
    stats: _PairStats, alphabet: Sequence[str]
) -> list[tuple[str, list[tuple[str, list[str]]], str]]: ...
def derivation_counts(
    productions: Sequence[_Production], terminals: _TerminalSet, start: str, lines: Sequence[str]
) -> _DerivationCounts: ...
def merge_derivation_counts(counts: Sequence[_DerivationCounts]) -> _DerivationCounts: ...
def prune(productions: Sequence[_Production], counts: _DerivationCounts) -> list[tuple[str, list[str]]]: ...
def score_metrics(
    productions: Sequence[_Production], terminals: _TerminalSet, counts: _DerivationCounts
) -> dict[str, float]: ...
def select(scored: Sequence[tuple[str, Sequence[_Production], float]]) -> dict[str, Any]: ...
def estimate_parse(
    cnf_rules: Sequence[tuple[str, Sequence[str], int]], start: str, length: int
) -> tuple[float, float, float]: ...
