#include "induction.hpp"

#include <utility>

#include "candidates.hpp"
#include "corpus_stats.hpp"
#include "pruning.hpp"
#include "selection.hpp"

namespace engine {

InductionResult induce_full(std::span<const std::string_view> corpus_train,
                            std::span<const std::string_view> corpus_test,
                            std::span<const std::string_view> alphabet) {
    const TerminalSet terminals = prepare_alphabet(alphabet);
    std::vector<CandidateGrammar> candidates = build_candidates(collect_corpus_stats(corpus_train), alphabet);
    std::vector<ScoredCandidate> scored;
    scored.reserve(candidates.size());
    for (CandidateGrammar& candidate : candidates) {
        if (candidate.productions.empty()) continue;
        std::vector<Production> pruned = prune_by_usage(candidate, corpus_train, terminals);
        candidate.productions = {};
        if (pruned.empty()) continue;
        const double bpc = score_candidate(pruned, corpus_test, terminals, candidate.start);
        scored.push_back(ScoredCandidate{std::move(candidate.strategy), std::move(pruned), bpc});
    }
    return select_best(std::move(scored));
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
