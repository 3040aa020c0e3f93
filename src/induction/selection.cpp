#include "selection.hpp"

#include <limits>
#include <utility>

#include "grammar/corpus_scoring.hpp"

namespace engine {

double score_candidate(std::span<const Production> productions,
                       std::span<const std::string_view> corpus_test,
                       const TerminalSet& terminals, std::string_view start) {
    const Outcome<ScoreMetrics> metrics = grammar_bpc(productions, corpus_test, terminals, start);
    if (!metrics.ok()) return std::numeric_limits<double>::infinity();
    return metrics.value().bpc_with_lib;
}

bool cannot_beat(double floor, double best) {
    constexpr double kSlack = 1e-9;
    return round_to(floor * (1.0 - kSlack), 4) > best;
}

InductionResult select_best(std::vector<ScoredCandidate> scored) {
    InductionResult best;
    for (ScoredCandidate& candidate : scored) {
        if (candidate.productions.empty() || !(candidate.bpc < best.bpc)) continue;
        best.strategy = std::move(candidate.strategy);
        best.bpc = candidate.bpc;
        best.productions = std::move(candidate.productions);
    }
    return best;
}

}  // namespace engine
