// selection.hpp — scores a pruned candidate on the test corpus and keeps, among the
// scored candidates, the one with the lowest bits per character.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "grammar/grammar.hpp"
#include "induction.hpp"

namespace engine {

// A pruned candidate with its score on the test corpus.
struct ScoredCandidate {
    std::string strategy;
    std::vector<Production> productions;
    double bpc = 0.0;
};

// The "bpc_with_lib" of the grammar on `corpus_test`: +infinity when the test
// corpus holds no text, and also when the grammar cannot be converted.
double score_candidate(std::span<const Production> productions,
                       std::span<const std::string_view> corpus_test,
                       const TerminalSet& terminals, std::string_view start);

// Whether a candidate whose "bpc_with_lib" is at least `floor` would round strictly
// above `best` (a rounded score), and so can never be chosen over it, whatever the
// order. The floor is first lowered by far more than any rounding error in the sums.
bool cannot_beat(double floor, double best);

// Walks the candidates in list order; one replaces the best so far only with a
// strictly lower score, so ties keep the earlier one, and neither a score of
// +infinity nor a candidate without productions is ever chosen.
InductionResult select_best(std::vector<ScoredCandidate> scored);

}  // namespace engine
