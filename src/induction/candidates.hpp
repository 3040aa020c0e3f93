// candidates.hpp — the two candidate grammars over the single nonterminal "S":
// "wrap" (frequent boundary pairs enclose S) and "chain" (frequent bigrams chain).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "corpus_stats.hpp"
#include "grammar/grammar.hpp"

namespace engine {

// Least count, inclusive, for a pair to be used.
inline constexpr std::uint64_t kMinPairCount = 3;
// Most bigrams the "chain" strategy takes.
inline constexpr std::size_t kMaxChainPairs = 6;
inline constexpr std::string_view kStartSymbol = "S";
inline constexpr std::string_view kWrapStrategy = "wrap";
inline constexpr std::string_view kChainStrategy = "chain";

struct CandidateGrammar {
    std::string strategy;
    std::vector<Production> productions;
    Symbol start;
};

// For each boundary pair (a, b), in ranked order, that begins and ends at least
// kMinPairCount strings and also stands adjacent that often: S -> a S b, S -> a b.
// Closed by S -> S S.
CandidateGrammar build_wrap_grammar(const CorpusStats& stats);

// The first kMinPairCount-frequent bigrams (a, b), at most kMaxChainPairs of them:
// S -> a b, S -> a b S; then S -> c for every alphabet entry c, duplicates
// included; closed by S -> S S.
CandidateGrammar build_chain_grammar(const CorpusStats& stats,
                                     std::span<const std::string_view> alphabet);

// "wrap", then "chain".
std::vector<CandidateGrammar> build_candidates(const CorpusStats& stats,
                                               std::span<const std::string_view> alphabet);

}  // namespace engine
