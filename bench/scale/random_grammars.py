"""Random grammars with many nonterminals, and strings sampled from them.

A grammar has `nonterminals` nonterminals (the first is S) and `rules` productions:
each nonterminal one production A -> c first, then random productions, mostly
A -> B C, some A -> c, A -> c B, A -> B c and A -> B C D. Every nonterminal
derives a character, so every one is productive. Strings are sampled top-down:
a derivable length is drawn, then at each node a production that can derive the
node's length, then the lengths of its parts, uniformly among those that fit.
"""

from __future__ import annotations

import random
from dataclasses import dataclass

Production = tuple[str, tuple[str, ...]]
ALPHABET = "abcdefghijkl"


@dataclass(frozen=True)
class RandomGrammar:
    nonterminals: int
    rules: int
    productions: tuple[Production, ...]
    terminals: frozenset[str]
    start: str = "S"

    def production_list(self) -> list[tuple[str, list[str]]]:
        return [(lhs, list(rhs)) for lhs, rhs in self.productions]


def random_grammar(nonterminals: int, rules: int, seed: int) -> RandomGrammar:
    rng = random.Random(f"{seed}:{nonterminals}:{rules}")
    names = ["S", *(f"N{i}" for i in range(1, nonterminals))]
    productions: list[Production] = [(name, (rng.choice(ALPHABET),)) for name in names]
    seen = set(productions)
    while len(productions) < rules:
        lhs = rng.choice(names)
        roll = rng.random()
        if roll < 0.75:
            rhs = (rng.choice(names), rng.choice(names))
        elif roll < 0.83:
            rhs = (rng.choice(ALPHABET),)
        elif roll < 0.89:
            rhs = (rng.choice(ALPHABET), rng.choice(names))
        elif roll < 0.95:
            rhs = (rng.choice(names), rng.choice(ALPHABET))
        else:
            rhs = (rng.choice(names), rng.choice(names), rng.choice(names))
        if (lhs, rhs) not in seen:
            seen.add((lhs, rhs))
            productions.append((lhs, rhs))
    return RandomGrammar(nonterminals, rules, tuple(productions), frozenset(ALPHABET))


class Sampler:
    """Derivable lengths up to `max_length` per nonterminal (bit masks), and sampling."""

    def __init__(self, grammar: RandomGrammar, max_length: int):
        self.grammar = grammar
        self.limit = (1 << (max_length + 1)) - 1
        self.by_lhs: dict[str, list[tuple[str, ...]]] = {}
        for lhs, rhs in grammar.productions:
            self.by_lhs.setdefault(lhs, []).append(rhs)
        self.masks = {lhs: 0 for lhs in self.by_lhs}
        changed = True
        while changed:
            changed = False
            for lhs, bodies in self.by_lhs.items():
                mask = self.masks[lhs]
                for rhs in bodies:
                    mask |= self.sequence_mask(rhs)
                if mask != self.masks[lhs]:
                    self.masks[lhs], changed = mask, True

    def symbol_mask(self, symbol: str) -> int:
        return 1 << 1 if symbol in self.grammar.terminals else self.masks[symbol]

    def sequence_mask(self, symbols: tuple[str, ...]) -> int:
        mask = 1  # the empty sequence: length 0
        for symbol in symbols:
            part, total = self.symbol_mask(symbol), 0
            while part:
                low = part & -part
                total |= mask << (low.bit_length() - 1)
                part ^= low
            mask = total & self.limit
        return mask

    def derivable(self, symbol: str, length: int) -> bool:
        return bool(self.symbol_mask(symbol) >> length & 1)

    def sample(self, rng: random.Random, length: int) -> str:
        out: list[str] = []
        stack = [(self.grammar.start, length)]
        while stack:
            symbol, n = stack.pop()
            if symbol in self.grammar.terminals:
                out.append(symbol)
                continue
            bodies = [rhs for rhs in self.by_lhs[symbol] if self.sequence_mask(rhs) >> n & 1]
            rhs = rng.choice(bodies)
            parts = []
            for i, part in enumerate(rhs):
                rest = self.sequence_mask(rhs[i + 1:])
                choices = [m for m in range(1, n + 1) if self.derivable(part, m) and rest >> (n - m) & 1]
                m = rng.choice(choices)
                parts.append((part, m))
                n -= m
            stack.extend(reversed(parts))
        return "".join(out)

    def strings(self, rng: random.Random, count: int, lo: int, hi: int) -> list[str]:
        lengths = [n for n in range(lo, hi + 1) if self.derivable(self.grammar.start, n)]
        return [self.sample(rng, rng.choice(lengths)) for _ in range(count)] if lengths else []
