#include "selection.hpp"

#include <limits>
#include <utility>

#include "../grammar/corpus_scoring.hpp"
#include "corpus_stats.hpp"
#include "pruning.hpp"

namespace engine {

double score_candidate(std::span<const Production> productions,
                       std::span<const std::string_view> corpus_test,
                       const TerminalSet& terminals, std::string_view start) {
    const Outcome<ScoreMetrics> metrics = grammar_bpc(productions, corpus_test, terminals, start);
    if (!metrics.ok()) return std::numeric_limits<double>::infinity();
    return metrics.value().bpc_with_lib;
}

InductionResult select_best_candidate(std::vector<CandidateGrammar> candidates,
                                      std::span<const std::string_view> corpus_train,
                                      std::span<const std::string_view> corpus_test,
                                      const TerminalSet& terminals) {
    InductionResult best;
    for (CandidateGrammar& candidate : candidates) {
        if (candidate.productions.empty()) continue;
        std::vector<Production> pruned = prune_by_usage(candidate, corpus_train, terminals);
        candidate.productions = {};
        if (pruned.empty()) continue;
        const double score = score_candidate(pruned, corpus_test, terminals, candidate.start);
        if (score < best.bpc) {
            best.strategy = std::move(candidate.strategy);
            best.bpc = score;
            best.productions = std::move(pruned);
        }
    }
    return best;
}

InductionResult induce_full(std::span<const std::string_view> corpus_train,
                            std::span<const std::string_view> corpus_test,
                            std::span<const std::string_view> alphabet) {
    const TerminalSet terminals = prepare_alphabet(alphabet);
    std::vector<CandidateGrammar> candidates = build_candidates(collect_corpus_stats(corpus_train), alphabet);
    return select_best_candidate(std::move(candidates), corpus_train, corpus_test, terminals);
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
