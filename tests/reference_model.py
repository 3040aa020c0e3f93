"""Plain-Python model of conversion, parsing and scoring, written for clarity.

The property tests compare the native module against these functions; they follow
the algorithms step by step (hash sets of names per chart cell, a linear scan of
the rule list for every span) and are only fit for small inputs.
"""

from __future__ import annotations

import math


class EmptyRightHandSide(Exception):
    """The conversion met a production with no right-hand symbols."""


def to_cnf_tagged(productions, terminals):
    out = []
    preterminal = {}
    counter = 0

    def fresh():
        nonlocal counter
        counter += 1
        return f"_AUX{counter}"

    def mapped(symbol):
        if symbol not in terminals:
            return symbol
        if symbol not in preterminal:
            name = fresh()
            preterminal[symbol] = name
            out.append((name, [symbol], -1))
        return preterminal[symbol]

    for index, (lhs, rhs) in enumerate(productions):
        rhs = list(rhs)
        if not rhs:
            raise EmptyRightHandSide
        if len(rhs) == 1:
            out.append((lhs, [rhs[0]], index))
            continue
        symbols = [mapped(s) for s in rhs]
        prev = symbols[0]
        for middle in symbols[1:-1]:
            link = fresh()
            out.append((link, [prev, middle], -1))
            prev = link
        out.append((lhs, [prev, symbols[-1]], index))
    return out


def parse_cnf(s, rules, start):
    n = len(s)
    if n == 0:
        return None
    chart = {}  # (i, j) -> {name: (left, right, tag, split)}
    for p, c in enumerate(s):
        cell = chart.setdefault((p, p), {})
        for lhs, rhs, tag in rules:
            if len(rhs) == 1 and rhs[0] == c and lhs not in cell:
                cell[lhs] = (c, "", tag, 0)
    for length in range(2, n + 1):
        for i in range(0, n - length + 1):
            j = i + length - 1
            cell = chart.setdefault((i, j), {})
            for lhs, rhs, tag in rules:
                if len(rhs) != 2 or lhs in cell:
                    continue
                b, c = rhs
                for k in range(i, j):
                    if b in chart.get((i, k), {}) and c in chart.get((k + 1, j), {}):
                        cell[lhs] = (b, c, tag, k)
                        break
    if start not in chart.get((0, n - 1), {}):
        return None
    tags = []
    todo = [(0, n - 1, start)]
    while todo:
        i, j, name = todo.pop()
        entry = chart.get((i, j), {}).get(name)
        if entry is None:
            continue
        left, right, tag, split = entry
        tags.append(tag)
        if right == "":
            continue
        todo.append((split + 1, j, right))
        todo.append((i, split, left))
    return tags


def round_half_away(value, decimals):
    if not math.isfinite(value):
        return value
    scale = 10.0**decimals
    scaled = value * scale
    magnitude = abs(scaled)
    whole = math.floor(magnitude)
    if magnitude - whole >= 0.5:
        whole += 1
    return math.copysign(whole, scaled) / scale


def grammar_bpc(productions, corpus, terminals, start):
    rules = to_cnf_tagged(productions, terminals)
    t = len(terminals)
    l_library = 0.0
    if productions:
        n = len({lhs for lhs, _ in productions})
        symbol_bits = math.log2(max(t + n + 1, 2))
        for _, rhs in productions:
            l_library += len(rhs) * symbol_bits + 2
    spell_bits = math.log2(max(t, 2))
    failed_bytes = 0
    failures = 0
    length = 0
    counts = {}
    for s in corpus:
        tags = parse_cnf(s, rules, start)
        size = len(s.encode("utf-8"))
        if tags is None:
            failures += 1
            failed_bytes += size
        else:
            for tag in tags:
                if tag >= 0:
                    counts[tag] = counts.get(tag, 0) + 1
        length += size
    if length == 0:
        return {"bpc_with_lib": math.inf, "parse_failures": float(failures)}
    # The bytes of unparsed strings are counted, then spelled out in one product.
    l_data = failed_bytes * spell_bits
    total = sum(counts.values())
    if total > 0:
        entropy = 0.0
        for tag in sorted(counts):
            entropy += counts[tag] * math.log2(counts[tag] / total)
        l_data += -entropy
    return {
        "bpc_with_lib": round_half_away((l_library + l_data) / float(length), 4),
        "l_library": round_half_away(l_library, 2),
        "l_data": round_half_away(l_data, 2),
        "parse_failures": float(failures),
        "total_decisions": float(total),
    }
