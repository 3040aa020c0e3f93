// reference_induction.hpp — a plain induction pipeline for the differential fuzz
// target: pair counts in first-counted order, "wrap" and "chain", pruning, selection.
#pragma once

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reference_grammar.hpp"

namespace fuzz::reference {

// The characters of a corpus string: each valid UTF-8 character, and each byte
// that starts no valid character on its own (the engine's treatment of bad input).
inline std::vector<std::string> corpus_characters(std::string_view text) {
    std::vector<std::string> out;
    std::vector<std::string> one;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t taken = 1;
        for (std::size_t length = 1; length <= 4 && pos + length <= text.size(); ++length) {
            if (split_characters(text.substr(pos, length), one) && one.size() == 1) {
                taken = length;
                break;
            }
        }
        out.emplace_back(text.substr(pos, taken));
        pos += taken;
    }
    return out;
}

using Pair = std::pair<std::string, std::string>;

// Counts that remember the order in which each pair was first counted.
struct OrderedCounts {
    std::vector<std::pair<Pair, std::uint64_t>> entries;
    std::map<Pair, std::size_t> index;

    void add(const Pair& pair) {
        const auto [found, added] = index.try_emplace(pair, entries.size());
        if (added) entries.push_back({pair, 0});
        ++entries[found->second].second;
    }
    std::uint64_t count_of(const Pair& pair) const {
        const auto found = index.find(pair);
        return found == index.end() ? 0 : entries[found->second].second;
    }
    std::vector<std::pair<Pair, std::uint64_t>> ranked() const {
        auto out = entries;
        std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
        return out;
    }
};

struct Induced {
    std::string strategy;
    double bpc = INFINITY;
    std::vector<Production> productions;
};

inline std::vector<Production> prune(const std::vector<Production>& productions,
                                     const std::vector<std::string>& corpus_train,
                                     const std::set<std::string>& terminals) {
    const auto rules = to_cnf_tagged(productions, terminals);
    std::vector<std::uint64_t> uses(productions.size(), 0);
    std::uint64_t total = 0;
    for (const std::string& text : corpus_train) {
        const auto tags = parse(text, *rules, "S");
        if (!tags) continue;
        for (const std::int32_t tag : *tags) {
            if (tag >= 0) ++uses[static_cast<std::size_t>(tag)], ++total;
        }
    }
    if (total == 0) return productions;
    std::vector<Production> kept;
    for (std::size_t i = 0; i < productions.size(); ++i) {
        const double share = static_cast<double>(uses[i]) / static_cast<double>(total);
        if (share >= 0.01 || productions[i].rhs.size() <= 2) kept.push_back(productions[i]);
    }
    return kept;
}

inline Induced induce_full(const std::vector<std::string>& corpus_train, const std::vector<std::string>& corpus_test,
                           const std::vector<std::string>& alphabet) {
    const std::set<std::string> terminals(alphabet.begin(), alphabet.end());
    OrderedCounts boundary, bigram;
    for (const std::string& text : corpus_train) {
        const auto chars = corpus_characters(text);
        if (chars.size() < 2) continue;
        boundary.add({chars.front(), chars.back()});
        for (std::size_t i = 0; i + 1 < chars.size(); ++i) bigram.add({chars[i], chars[i + 1]});
    }
    const Production start_pair{"S", {"S", "S"}};
    std::vector<Production> wrap;
    for (const auto& [pair, count] : boundary.ranked()) {
        if (count >= 3 && bigram.count_of(pair) >= 3) {
            wrap.push_back({"S", {pair.first, "S", pair.second}});
            wrap.push_back({"S", {pair.first, pair.second}});
        }
    }
    wrap.push_back(start_pair);
    std::vector<Production> chain;
    std::size_t taken = 0;
    for (const auto& [pair, count] : bigram.ranked()) {
        if (taken < 6 && count >= 3) {
            chain.push_back({"S", {pair.first, pair.second}});
            chain.push_back({"S", {pair.first, pair.second, "S"}});
            ++taken;
        }
    }
    for (const std::string& entry : alphabet) chain.push_back({"S", {entry}});
    chain.push_back(start_pair);

    Induced best;
    for (const auto& [name, productions] : {std::pair{"wrap", wrap}, std::pair{"chain", chain}}) {
        std::vector<Production> pruned = prune(productions, corpus_train, terminals);
        if (pruned.empty()) continue;
        const double score = grammar_bpc(pruned, corpus_test, terminals, "S")->bpc_with_lib;
        if (score < best.bpc) best = Induced{name, score, std::move(pruned)};
    }
    return best;
}

}  // namespace fuzz::reference
