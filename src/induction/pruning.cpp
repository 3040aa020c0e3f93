#include "pruning.hpp"

#include "../grammar/cnf_conversion.hpp"
#include "../grammar/cyk_parser.hpp"

namespace engine {

std::vector<std::uint64_t> count_production_uses(const CandidateGrammar& candidate,
                                                 std::span<const std::string_view> corpus_train,
                                                 const TerminalSet& terminals) {
    std::vector<std::uint64_t> uses(candidate.productions.size(), 0);
    const Outcome<std::vector<TaggedRule>> rules = to_cnf_tagged(candidate.productions, terminals);
    // Only a production with an empty right-hand side fails to convert, and no
    // built-in strategy makes one; such a candidate simply collects no uses.
    if (!rules.ok()) return uses;

    CykParser parser(rules.value(), candidate.start);
    std::vector<std::int32_t> tags;
    for (const std::string_view text : corpus_train) {
        if (!parser.parse(text, tags)) continue;
        for (const std::int32_t tag : tags) {
            if (tag >= 0 && static_cast<std::size_t>(tag) < uses.size()) ++uses[static_cast<std::size_t>(tag)];
        }
    }
    return uses;
}

std::vector<Production> prune_by_usage(const CandidateGrammar& candidate,
                                       std::span<const std::string_view> corpus_train,
                                       const TerminalSet& terminals) {
    const std::vector<std::uint64_t> uses = count_production_uses(candidate, corpus_train, terminals);
    std::uint64_t total_uses = 0;
    for (const std::uint64_t count : uses) total_uses += count;
    if (total_uses == 0) return candidate.productions;

    const double total = static_cast<double>(total_uses);
    std::vector<Production> kept;
    kept.reserve(candidate.productions.size());
    for (std::size_t i = 0; i < candidate.productions.size(); ++i) {
        const Production& production = candidate.productions[i];
        const double share = static_cast<double>(uses[i]) / total;
        if (share >= kMinUseShare || production.rhs.size() <= kProtectedRhsLen) kept.push_back(production);
    }
    return kept;
}

}  // namespace engine
