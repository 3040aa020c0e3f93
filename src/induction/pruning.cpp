#include "pruning.hpp"

#include "grammar/cnf_conversion.hpp"
#include "grammar/cyk_parser.hpp"
#include "grammar/derivation_counts.hpp"

namespace engine {

std::vector<std::uint64_t> count_production_uses(const CandidateGrammar& candidate,
                                                 std::span<const std::string_view> corpus_train,
                                                 const TerminalSet& terminals) {
    const Outcome<std::vector<TaggedRule>> rules = to_cnf_tagged(candidate.productions, terminals);
    // Only a production with an empty right-hand side fails to convert, and no
    // built-in strategy makes one; such a candidate simply collects no uses.
    if (!rules.ok()) return std::vector<std::uint64_t>(candidate.productions.size(), 0);

    CykParser parser(rules.value(), candidate.start);
    return count_derivations(parser, candidate.productions.size(), corpus_train).uses;
}

std::vector<Production> prune_with_uses(std::span<const Production> productions,
                                        std::span<const std::uint64_t> uses) {
    std::uint64_t total_uses = 0;
    for (const std::uint64_t count : uses) total_uses += count;
    if (total_uses == 0) return {productions.begin(), productions.end()};

    const double total = static_cast<double>(total_uses);
    std::vector<Production> kept;
    kept.reserve(productions.size());
    for (std::size_t i = 0; i < productions.size(); ++i) {
        const Production& production = productions[i];
        const std::uint64_t used = i < uses.size() ? uses[i] : 0;
        const double share = static_cast<double>(used) / total;
        if (share >= kMinUseShare || production.rhs.size() <= kProtectedRhsLen) kept.push_back(production);
    }
    return kept;
}

std::vector<Production> prune_by_usage(const CandidateGrammar& candidate,
                                       std::span<const std::string_view> corpus_train,
                                       const TerminalSet& terminals) {
    return prune_with_uses(candidate.productions, count_production_uses(candidate, corpus_train, terminals));
}

}  // namespace engine
