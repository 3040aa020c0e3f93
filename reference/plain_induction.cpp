// Induction: pair counts, the "wrap" and "chain" candidates, usage-based pruning
// by parsing the training corpus, and selection by score on the test corpus.
#include <algorithm>
#include <limits>
#include <unordered_map>

#include "induction/candidates.hpp"
#include "induction/pruning.hpp"
#include "plain_engine.hpp"

namespace reference {
namespace {

// The thresholds are the engine's own: they define the pipeline, not its speed.
using engine::kMaxChainPairs;
using engine::kMinPairCount;
using engine::kMinUseShare;
using engine::kProtectedRhsLen;

using SymbolPair = std::pair<std::string, std::string>;

struct PairHash {
    std::size_t operator()(const SymbolPair& pair) const {
        const std::size_t h = std::hash<std::string>{}(pair.first);
        return h ^ (std::hash<std::string>{}(pair.second) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    }
};

// Counts per pair; `order` remembers first-counted order so that ranking breaks
// ties among equal counts the same way on every run.
struct PairCounts {
    std::unordered_map<SymbolPair, std::uint64_t, PairHash> counts;
    std::vector<SymbolPair> order;

    void add(const std::string& first, const std::string& second) {
        SymbolPair key{first, second};
        auto found = counts.find(key);
        if (found == counts.end()) {
            counts.emplace(key, 1);
            order.push_back(std::move(key));
        } else {
            ++found->second;
        }
    }
    std::uint64_t count_of(const SymbolPair& key) const {
        const auto found = counts.find(key);
        return found == counts.end() ? 0 : found->second;
    }
};

std::vector<std::pair<SymbolPair, std::uint64_t>> rank_pairs(const PairCounts& table) {
    std::vector<std::pair<SymbolPair, std::uint64_t>> ranked;
    for (const SymbolPair& key : table.order) ranked.emplace_back(key, table.counts.at(key));
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    return ranked;
}

struct Candidate {
    std::string strategy;
    std::vector<Production> productions;
};

std::vector<Production> prune_by_usage(const Candidate& candidate,
                                       const std::vector<std::string>& corpus_train,
                                       const NameSet& terminals) {
    // Candidates never hold an empty right-hand side, so the conversion succeeds.
    const std::vector<TaggedRule> rules = *to_cnf_tagged(candidate.productions, terminals);
    std::unordered_map<std::int32_t, std::uint64_t> use_counts;
    for (const std::string& text : corpus_train) {
        const auto tags = parse_cnf(text, rules, "S");
        if (!tags) continue;
        for (const std::int32_t tag : *tags) {
            if (tag >= 0) ++use_counts[tag];
        }
    }
    std::uint64_t total_uses = 0;
    for (const auto& [tag, count] : use_counts) total_uses += count;
    if (total_uses == 0) return candidate.productions;
    std::vector<Production> kept;
    for (std::size_t i = 0; i < candidate.productions.size(); ++i) {
        const auto found = use_counts.find(static_cast<std::int32_t>(i));
        const std::uint64_t uses = found == use_counts.end() ? 0 : found->second;
        const double share = static_cast<double>(uses) / static_cast<double>(total_uses);
        if (share >= kMinUseShare || candidate.productions[i].rhs.size() <= kProtectedRhsLen) {
            kept.push_back(candidate.productions[i]);
        }
    }
    return kept;
}

}  // namespace

InductionResult induce_full(const std::vector<std::string>& corpus_train,
                            const std::vector<std::string>& corpus_test,
                            const std::vector<std::string>& alphabet) {
    const NameSet terminals(alphabet.begin(), alphabet.end());

    PairCounts boundary_counts;
    PairCounts bigram_counts;
    for (const std::string& text : corpus_train) {
        const std::vector<std::string> chars = corpus_characters(text);
        if (chars.size() < 2) continue;
        boundary_counts.add(chars.front(), chars.back());
        for (std::size_t i = 0; i + 1 < chars.size(); ++i) bigram_counts.add(chars[i], chars[i + 1]);
    }

    Candidate wrap{"wrap", {}};
    for (const auto& [pair, count] : rank_pairs(boundary_counts)) {
        if (count < kMinPairCount) continue;
        if (bigram_counts.count_of(pair) < kMinPairCount) continue;
        wrap.productions.push_back(Production{"S", {pair.first, "S", pair.second}});
        wrap.productions.push_back(Production{"S", {pair.first, pair.second}});
    }
    wrap.productions.push_back(Production{"S", {"S", "S"}});

    Candidate chain{"chain", {}};
    std::size_t taken = 0;
    for (const auto& [pair, count] : rank_pairs(bigram_counts)) {
        if (taken < kMaxChainPairs && count >= kMinPairCount) {
            chain.productions.push_back(Production{"S", {pair.first, pair.second}});
            chain.productions.push_back(Production{"S", {pair.first, pair.second, "S"}});
            ++taken;
        }
    }
    for (const std::string& entry : alphabet) chain.productions.push_back(Production{"S", {entry}});
    chain.productions.push_back(Production{"S", {"S", "S"}});

    InductionResult best{"", std::numeric_limits<double>::infinity(), {}};
    for (const Candidate& candidate : {wrap, chain}) {
        if (candidate.productions.empty()) continue;
        std::vector<Production> pruned = prune_by_usage(candidate, corpus_train, terminals);
        if (pruned.empty()) continue;
        const double score = grammar_bpc(pruned, corpus_test, terminals, "S")->bpc_with_lib;
        if (score < best.bpc) best = InductionResult{candidate.strategy, score, std::move(pruned)};
    }
    return best;
}

}  // namespace reference
