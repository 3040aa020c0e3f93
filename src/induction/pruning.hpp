// pruning.hpp — usage-based pruning of one candidate: parse the training strings,
// count how often each production builds a node, drop the long and rare ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "candidates.hpp"
#include "grammar/grammar.hpp"

namespace engine {

// Least share of all counted uses that keeps a long production; exactly this share keeps it.
inline constexpr double kMinUseShare = 0.01;
// Productions with at most this many right-hand symbols are never dropped.
inline constexpr std::size_t kProtectedRhsLen = 2;

// Uses per production index over the parses of `corpus_train`; a string that does
// not parse adds nothing, and auxiliary rules (negative tags) are not counted.
// All zero when the candidate cannot be converted.
std::vector<std::uint64_t> count_production_uses(const CandidateGrammar& candidate,
                                                 std::span<const std::string_view> corpus_train,
                                                 const TerminalSet& terminals);

// The productions, in order, without those of more than kProtectedRhsLen symbols
// whose share of all uses is below kMinUseShare; `uses[i]` counts production i
// (missing entries count 0). With no counted use at all, every production is kept.
std::vector<Production> prune_with_uses(std::span<const Production> productions,
                                        std::span<const std::uint64_t> uses);

// prune_with_uses over the uses of the candidate's parses of `corpus_train`.
std::vector<Production> prune_by_usage(const CandidateGrammar& candidate,
                                       std::span<const std::string_view> corpus_train,
                                       const TerminalSet& terminals);

}  // namespace engine
