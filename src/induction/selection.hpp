// selection.hpp — scores each pruned candidate on the test corpus and keeps the one
// with the lowest bits per character; also the text form of one production.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "../grammar/grammar.hpp"
#include "candidates.hpp"
#include "induction.hpp"

namespace engine {

// The "bpc_with_lib" of the grammar on `corpus_test`: +infinity when the test
// corpus holds no text, and also when the grammar cannot be converted.
double score_candidate(std::span<const Production> productions,
                       std::span<const std::string_view> corpus_test,
                       const TerminalSet& terminals, std::string_view start);

// Prunes and scores every candidate in list order; a candidate replaces the best
// so far only with a strictly lower score, so ties keep the earlier one and a
// score of +infinity is never chosen. Candidates are consumed one by one.
InductionResult select_best_candidate(std::vector<CandidateGrammar> candidates,
                                      std::span<const std::string_view> corpus_train,
                                      std::span<const std::string_view> corpus_test,
                                      const TerminalSet& terminals);

}  // namespace engine
