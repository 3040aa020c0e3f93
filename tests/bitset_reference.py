"""A second plain-Python parser, for strings too long for the cell-by-cell model.

Per symbol and start position it keeps the span ends as one integer bit set and
fills starts from the last; the derivation is read out the way the model reads
it: at each node the first rule in list order that applies, at its smallest
split. It shares no code with the engine and little with the model, and is
checked against the model on short strings.
"""

from __future__ import annotations


def parse_cnf(s, rules, start):
    n = len(s)
    if n == 0:
        return None
    binary = [(lhs, rhs[0], rhs[1], tag) for lhs, rhs, tag in rules if len(rhs) == 2]
    first_lexical = {}  # (symbol, character) -> tag of its first terminal rule
    for lhs, rhs, tag in rules:
        if len(rhs) == 1:
            first_lexical.setdefault((lhs, rhs[0]), tag)
    names = {lhs for lhs, _, _ in rules} | {x for _, rhs, _ in rules for x in rhs}
    ends = {name: [0] * n for name in names}  # ends[X][i]: bit j when X derives s[i..j]
    for i, c in enumerate(s):
        for name, character in first_lexical:
            if character == c:
                ends[name][i] |= 1 << i
    for i in range(n - 1, -1, -1):
        # Ends k of row i are final once every smaller end has been taken.
        for k in range(i, n - 1):
            for lhs, left, right, _ in binary:
                if ends[left][i] >> k & 1:
                    ends[lhs][i] |= ends[right][k + 1]

    def derives(name, i, j):
        return name in ends and ends[name][i] >> j & 1

    if not derives(start, 0, n - 1):
        return None
    tags = []
    todo = [(0, n - 1, start)]
    while todo:
        i, j, name = todo.pop()
        if i == j:
            tags.append(first_lexical[(name, s[i])])
            continue
        for lhs, left, right, tag in binary:
            if lhs != name:
                continue
            split = next((k for k in range(i, j) if derives(left, i, k) and derives(right, k + 1, j)), None)
            if split is not None:
                tags.append(tag)
                if right != "":
                    todo.append((split + 1, j, right))
                    todo.append((i, split, left))
                break
    return tags
