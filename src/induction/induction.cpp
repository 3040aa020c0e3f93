#include "induction.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <utility>

#include "candidates.hpp"
#include "corpus_stats.hpp"
#include "grammar/corpus_scoring.hpp"
#include "pruning.hpp"
#include "score_floor.hpp"
#include "selection.hpp"

namespace engine {

InductionResult induce_full(std::span<const std::string_view> corpus_train,
                            std::span<const std::string_view> corpus_test,
                            std::span<const std::string_view> alphabet) {
    const TerminalSet terminals = prepare_alphabet(alphabet);
    std::vector<CandidateGrammar> candidates = build_candidates(collect_corpus_stats(corpus_train), alphabet);
    // Candidates are pruned and scored smallest first (the cheapest to parse with).
    // Once one has a score, each further one is first bounded from below by one
    // parse of the test corpus with the whole candidate; one that cannot score
    // lower is never pruned, which changes no result, as a higher score never wins.
    std::vector<std::size_t> order(candidates.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return candidates[a].productions.size() < candidates[b].productions.size();
    });
    std::vector<std::optional<ScoredCandidate>> scored(candidates.size());
    double best = std::numeric_limits<double>::infinity();
    for (const std::size_t index : order) {
        CandidateGrammar& candidate = candidates[index];
        if (candidate.productions.empty()) continue;
        std::optional<FloorCounts> whole;
        if (best < std::numeric_limits<double>::infinity()) {
            Outcome<FloorCounts> counts = count_for_floor(candidate.productions, corpus_test, terminals, candidate.start);
            if (counts.ok()) {
                if (cannot_score_below(pruning_floor(candidate.productions, terminals, counts.value()), best)) continue;
                whole = std::move(counts.value());
            }
        }
        std::vector<Production> pruned = prune_by_usage(candidate, corpus_train, terminals);
        if (pruned.empty()) continue;
        // Nothing pruned: the whole candidate's counts are the pruned one's.
        const double bpc = whole && pruned.size() == candidate.productions.size()
                               ? metrics_from_counts(pruned, terminals.size(), whole->derivations).bpc_with_lib
                               : score_candidate(pruned, corpus_test, terminals, candidate.start);
        candidate.productions = {};
        best = std::min(best, bpc);
        scored[index] = ScoredCandidate{std::move(candidate.strategy), std::move(pruned), bpc};
    }
    std::vector<ScoredCandidate> in_list_order;
    for (std::optional<ScoredCandidate>& entry : scored) {
        if (entry) in_list_order.push_back(std::move(*entry));
    }
    return select_best(std::move(in_list_order));
}

std::string render_production(const Production& production) {
    std::size_t length = production.lhs.size() + 2;
    for (const Symbol& symbol : production.rhs) length += symbol.size();
    std::string text;
    text.reserve(length);
    text += production.lhs;
    text += "->";
    for (const Symbol& symbol : production.rhs) text += symbol;
    return text;
}

}  // namespace engine
