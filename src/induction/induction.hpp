// induction.hpp — the whole induction pipeline in one call: pair statistics,
// "wrap" and "chain" candidates, usage-based pruning, scoring and selection.
#pragma once

#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "grammar/grammar.hpp"

namespace engine {

// The chosen candidate. With no finite score the strategy is empty, bpc is
// +infinity and there are no productions.
struct InductionResult {
    std::string strategy;
    double bpc = std::numeric_limits<double>::infinity();
    std::vector<Production> productions;
};

InductionResult induce_full(std::span<const std::string_view> corpus_train,
                            std::span<const std::string_view> corpus_test,
                            std::span<const std::string_view> alphabet);

// "lhs->" followed by the right-hand symbols with nothing between them.
std::string render_production(const Production& production);

}  // namespace engine
