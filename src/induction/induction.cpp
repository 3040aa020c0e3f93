#include "induction.hpp"

#include <algorithm>
#include <cstdint>
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

namespace {

// What one parse of the test corpus with a whole candidate leaves for scoring its
// pruning: the counts, and the strings that parsed, each as often as it occurs.
struct FloorPass {
    FloorCounts counts;
    std::vector<std::string_view> parsed;
};

// The whole candidate's parse of the test corpus, for a floor under its prunings'
// scores that must come out above `best`. Nothing when it cannot: the pass is not
// made where a pruning may convert differently, and stops as soon as every string
// still to come failing would not lift the floor enough (where derivations are
// bounded, parsed strings may weigh as much as failed ones, so it runs to the end).
std::optional<FloorPass> floor_pass(const CandidateGrammar& candidate, std::span<const std::string_view> corpus_test,
                                    const TerminalSet& terminals, double best) {
    const FloorKeys keys = floor_keys(candidate.productions, terminals, candidate.start);
    if (!keys.failures_carry_over) return std::nullopt;
    std::uint64_t remaining = 0;
    for (const std::string_view text : corpus_test) remaining += text.size();
    const double total = static_cast<double>(remaining);
    const double spell_bits = spelling_bits(terminals.size());
    const double library = library_floor(candidate.productions, terminals);
    std::uint64_t failed = 0;
    bool complete = true;
    FloorPass pass;
    Outcome<FloorCounts> counts = count_for_floor(
        candidate.productions, corpus_test, terminals, candidate.start,
        [&](std::string_view text, std::uint64_t occurrences, bool parsed) {
            const std::uint64_t bytes = occurrences * text.size();
            remaining -= bytes;
            if (parsed) {
                pass.parsed.insert(pass.parsed.end(), occurrences, text);
            } else {
                failed += bytes;
            }
            if (keys.most_per_use > 0) return true;
            complete = cannot_beat((library + static_cast<double>(failed + remaining) * spell_bits) / total, best);
            return complete;
        });
    if (!counts.ok() || !complete) return std::nullopt;
    pass.counts = std::move(counts.value());
    return pass;
}

// The pruned candidate's "bpc_with_lib" on the test corpus. After a floor pass, a
// pruning that kept every production has its counts already, and any other needs
// only the strings the whole candidate parsed: the others fail with it too.
double score_pruned(std::span<const Production> pruned, const CandidateGrammar& candidate,
                    std::span<const std::string_view> corpus_test, const TerminalSet& terminals,
                    const std::optional<FloorPass>& floor) {
    if (!floor) return score_candidate(pruned, corpus_test, terminals, candidate.start);
    const DerivationCounts& whole = floor->counts.derivations;
    if (pruned.size() == candidate.productions.size()) {
        return metrics_from_counts(pruned, terminals.size(), whole).bpc_with_lib;
    }
    Outcome<DerivationCounts> counts = count_for_scoring(pruned, floor->parsed, terminals, candidate.start);
    if (!counts.ok()) return std::numeric_limits<double>::infinity();
    DerivationCounts& all = counts.value();
    all.parse_failures += whole.parse_failures;
    all.failed_bytes += whole.failed_bytes;
    all.corpus_bytes = whole.corpus_bytes;
    return metrics_from_counts(pruned, terminals.size(), all).bpc_with_lib;
}

}  // namespace

InductionResult induce_full(std::span<const std::string_view> corpus_train,
                            std::span<const std::string_view> corpus_test,
                            std::span<const std::string_view> alphabet) {
    const TerminalSet terminals = prepare_alphabet(alphabet);
    std::vector<CandidateGrammar> candidates = build_candidates(collect_corpus_stats(corpus_train), alphabet);
    // Candidates are pruned and scored smallest first (the cheapest to parse with).
    // Once one has a score, each further one is first bounded from below by one
    // parse of the test corpus with the whole candidate; one that can neither score
    // lower nor tie is never pruned, which changes no result, as a higher score never wins.
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
        std::optional<FloorPass> floor;
        if (best < std::numeric_limits<double>::infinity()) {
            floor = floor_pass(candidate, corpus_test, terminals, best);
            if (floor && cannot_beat(pruning_floor(candidate.productions, terminals, candidate.start, floor->counts), best)) {
                continue;
            }
        }
        std::vector<Production> pruned = prune_by_usage(candidate, corpus_train, terminals);
        if (pruned.empty()) continue;
        const double bpc = score_pruned(pruned, candidate, corpus_test, terminals, floor);
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
