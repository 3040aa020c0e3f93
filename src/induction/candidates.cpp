#include "candidates.hpp"

#include <utility>

namespace engine {
namespace {

Production production(std::vector<Symbol> rhs) {
    return Production{Symbol(kStartSymbol), std::move(rhs)};
}

Production start_pair() { return production({Symbol(kStartSymbol), Symbol(kStartSymbol)}); }

CandidateGrammar empty_candidate(std::string_view strategy) {
    return CandidateGrammar{std::string(strategy), {}, Symbol(kStartSymbol)};
}

}  // namespace

CandidateGrammar build_wrap_grammar(const CorpusStats& stats) {
    CandidateGrammar wrap = empty_candidate(kWrapStrategy);
    for (const RankedPair& pair : rank_pairs(stats.boundary_counts)) {
        if (pair.count < kMinPairCount) continue;
        if (stats.bigram_counts.count_of(pair.key) < kMinPairCount) continue;
        const Symbol first = character_symbol(pair_first(pair.key));
        const Symbol last = character_symbol(pair_second(pair.key));
        wrap.productions.push_back(production({first, Symbol(kStartSymbol), last}));
        wrap.productions.push_back(production({first, last}));
    }
    wrap.productions.push_back(start_pair());
    return wrap;
}

CandidateGrammar build_chain_grammar(const CorpusStats& stats,
                                     std::span<const std::string_view> alphabet) {
    CandidateGrammar chain = empty_candidate(kChainStrategy);
    std::size_t taken = 0;
    for (const RankedPair& pair : rank_pairs(stats.bigram_counts)) {
        // Ranked highest first: once a count falls short, all later ones do too.
        if (taken == kMaxChainPairs || pair.count < kMinPairCount) break;
        const Symbol first = character_symbol(pair_first(pair.key));
        const Symbol second = character_symbol(pair_second(pair.key));
        chain.productions.push_back(production({first, second}));
        chain.productions.push_back(production({first, second, Symbol(kStartSymbol)}));
        ++taken;
    }
    for (const std::string_view entry : alphabet) chain.productions.push_back(production({Symbol(entry)}));
    chain.productions.push_back(start_pair());
    return chain;
}

std::vector<CandidateGrammar> build_candidates(const CorpusStats& stats,
                                               std::span<const std::string_view> alphabet) {
    std::vector<CandidateGrammar> candidates;
    candidates.reserve(2);
    candidates.push_back(build_wrap_grammar(stats));
    candidates.push_back(build_chain_grammar(stats, alphabet));
    return candidates;
}

}  // namespace engine
