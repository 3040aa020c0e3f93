// Fuzzes the merge of counts of consecutive runs of a corpus: any split, processed
// piece by piece and merged in order, gives exactly the counts, the pair order, the
// candidates, the metrics and the induction of the whole corpus in one go.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "fuzz_report.hpp"
#include "grammar/corpus_scoring.hpp"
#include "induction/candidates.hpp"
#include "induction/corpus_stats.hpp"
#include "induction/induction.hpp"
#include "induction/pruning.hpp"
#include "induction/score_floor.hpp"
#include "induction/selection.hpp"

namespace {

using engine::CorpusStats;
using engine::DerivationCounts;

// Bit-for-bit equality: the merge promises the very same doubles.
bool identical(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool identical(const std::optional<double>& a, const std::optional<double>& b) {
    return a.has_value() == b.has_value() && (!a || identical(*a, *b));
}

bool identical(const engine::ScoreMetrics& a, const engine::ScoreMetrics& b) {
    return identical(a.bpc_with_lib, b.bpc_with_lib) && identical(a.l_library, b.l_library) &&
           identical(a.l_data, b.l_data) && identical(a.parse_failures, b.parse_failures) &&
           identical(a.total_decisions, b.total_decisions);
}

bool same_counts(const engine::PairCounts& a, const engine::PairCounts& b) {
    return std::ranges::equal(a.entries(), b.entries());
}

// The corpus cut into consecutive pieces, empty pieces included.
std::vector<std::span<const std::string_view>> split(fuzz::FuzzInput& input,
                                                     std::span<const std::string_view> corpus) {
    std::vector<std::span<const std::string_view>> pieces;
    std::size_t at = 0;
    while (at < corpus.size() || (pieces.size() < 3 && input.flag())) {
        const std::size_t length = std::min(input.below(4), corpus.size() - at);
        pieces.push_back(corpus.subspan(at, length));
        at += length;
        if (input.exhausted() && at < corpus.size()) {
            pieces.push_back(corpus.subspan(at));
            break;
        }
    }
    return pieces;
}

std::vector<std::string> corpus_with_repeats(fuzz::FuzzInput& input, std::size_t max_count) {
    std::vector<std::string> out;
    const std::size_t count = input.below(max_count + 1);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t choice = input.byte();
        out.push_back(!out.empty() && choice % 3 == 0 ? out[choice % out.size()] : input.text());
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const std::vector<std::string> train = corpus_with_repeats(input, 16);
    const std::vector<std::string> test = corpus_with_repeats(input, 8);
    std::vector<std::string> alphabet;
    const std::size_t alphabet_size = input.below(6);
    for (std::size_t i = 0; i < alphabet_size; ++i) alphabet.push_back(input.character());
    const auto train_views = fuzz::views(train);
    const auto test_views = fuzz::views(test);
    const auto alphabet_views = fuzz::views(alphabet);
    const auto train_pieces = split(input, train_views);
    const auto test_pieces = split(input, test_views);
    const auto input_text = [&] {
        return "corpus_train = " + fuzz::describe(train) + "\ncorpus_test = " + fuzz::describe(test) +
               "\nalphabet = " + fuzz::describe(alphabet) + "\npieces = " + std::to_string(train_pieces.size()) +
               " and " + std::to_string(test_pieces.size());
    };
    fuzz::show_input(input_text);

    // Pair counts: same entries in the same first-counted order.
    const CorpusStats whole = engine::collect_corpus_stats(train_views);
    CorpusStats merged;
    for (const auto piece : train_pieces) merged.merge(engine::collect_corpus_stats(piece));
    if (!same_counts(whole.boundary_counts, merged.boundary_counts) ||
        !same_counts(whole.bigram_counts, merged.bigram_counts)) {
        fuzz::mismatch("merged pair counts differ from the whole", input_text());
    }

    // The induction run step by step on the pieces equals the one call.
    const engine::TerminalSet terminals = engine::prepare_alphabet(alphabet_views);
    std::vector<engine::ScoredCandidate> scored;
    for (const engine::CandidateGrammar& candidate : engine::build_candidates(merged, alphabet_views)) {
        DerivationCounts uses;
        uses.uses.assign(candidate.productions.size(), 0);
        for (const auto piece : train_pieces) {
            const auto counts = engine::count_for_scoring(candidate.productions, piece, terminals, candidate.start);
            if (!counts.ok()) fuzz::mismatch("a candidate failed to convert", input_text());
            uses.add(counts.value());
        }
        if (uses.uses != engine::count_production_uses(candidate, train_views, terminals)) {
            fuzz::mismatch("merged production uses differ from the whole", input_text());
        }
        std::vector<engine::Production> pruned = engine::prune_with_uses(candidate.productions, uses.uses);
        DerivationCounts test_counts;
        test_counts.uses.assign(pruned.size(), 0);
        for (const auto piece : test_pieces) {
            test_counts.add(engine::count_for_scoring(pruned, piece, terminals, candidate.start).value());
        }
        const engine::ScoreMetrics metrics = engine::metrics_from_counts(pruned, terminals.size(), test_counts);
        const auto one_call = engine::grammar_bpc(pruned, test_views, terminals, candidate.start);
        if (!identical(metrics, one_call.value())) {
            fuzz::mismatch("metrics from merged counts differ from one scoring", input_text());
        }
        // The floor under the candidate's prunings: its counts add up like the others,
        // and neither this pruning nor the whole candidate scores below it.
        engine::FloorCounts floor_counts =
            engine::count_for_floor(candidate.productions, {}, terminals, candidate.start).value();
        for (const auto piece : test_pieces) {
            floor_counts.add(engine::count_for_floor(candidate.productions, piece, terminals, candidate.start).value());
        }
        const auto whole_floor = engine::count_for_floor(candidate.productions, test_views, terminals, candidate.start);
        if (!(floor_counts == whole_floor.value())) {
            fuzz::mismatch("merged floor counts differ from the whole", input_text());
        }
        const double floor = engine::pruning_floor(candidate.productions, terminals, candidate.start, floor_counts);
        const auto unpruned = engine::grammar_bpc(candidate.productions, test_views, terminals, candidate.start);
        if (engine::cannot_beat(floor, metrics.bpc_with_lib) ||
            engine::cannot_beat(floor, unpruned.value().bpc_with_lib)) {
            fuzz::mismatch("a score below the floor of the candidate's prunings",
                           input_text() + "\nfloor = " + std::to_string(floor));
        }
        scored.push_back({candidate.strategy, std::move(pruned), metrics.bpc_with_lib});
    }
    const engine::InductionResult stepwise = engine::select_best(std::move(scored));
    const engine::InductionResult whole_run = engine::induce_full(train_views, test_views, alphabet_views);
    if (stepwise.strategy != whole_run.strategy || !identical(stepwise.bpc, whole_run.bpc) ||
        stepwise.productions != whole_run.productions) {
        fuzz::mismatch("step-by-step induction differs from the one call", input_text());
    }
    return 0;
}
