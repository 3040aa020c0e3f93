// Fuzzes the whole induction pipeline against the plain reference pipeline (both
// rank equal counts in first-counted order), and checks the result's invariants.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "fuzz_input.hpp"
#include "fuzz_report.hpp"
#include "induction/induction.hpp"
#include "plain_engine.hpp"

namespace {

constexpr double kReferenceBudget = 3e6;

// Repeated strings are what lift pair counts over the thresholds.
std::vector<std::string> corpus_with_repeats(fuzz::FuzzInput& input, std::size_t max_count) {
    std::vector<std::string> out;
    const std::size_t count = input.below(max_count + 1);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t choice = input.byte();
        if (!out.empty() && choice % 3 == 0) {
            out.push_back(out[choice % out.size()]);
        } else {
            out.push_back(input.text());
        }
    }
    return out;
}

std::string describe(const std::string& strategy, double bpc, const std::vector<engine::Production>& productions) {
    return "{strategy: " + fuzz::quoted(strategy) + ", bpc: " + std::to_string(bpc) +
           ", productions: " + fuzz::describe(productions) + "}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const std::vector<std::string> train = corpus_with_repeats(input, 14);
    const std::vector<std::string> test = corpus_with_repeats(input, 6);
    std::vector<std::string> alphabet;
    const std::size_t alphabet_size = input.below(7);
    for (std::size_t i = 0; i < alphabet_size; ++i) alphabet.push_back(input.flag() ? input.character() : input.symbol());

    const auto train_views = fuzz::views(train);
    const auto test_views = fuzz::views(test);
    const auto alphabet_views = fuzz::views(alphabet);
    const engine::InductionResult result = engine::induce_full(train_views, test_views, alphabet_views);
    const auto input_text = [&] {
        return "corpus_train = " + fuzz::describe(train) + "\ncorpus_test = " + fuzz::describe(test) +
               "\nalphabet = " + fuzz::describe(alphabet);
    };
    fuzz::show_input(input_text);
    const auto got = [&] { return describe(result.strategy, result.bpc, result.productions); };

    const bool chosen = !result.strategy.empty();
    if (chosen != std::isfinite(result.bpc) || chosen == result.productions.empty() ||
        (chosen && result.strategy != "wrap" && result.strategy != "chain")) {
        fuzz::mismatch("inconsistent result", input_text() + "\nengine = " + got());
    }
    for (const engine::Production& production : result.productions) {
        if (production.lhs != "S" || production.rhs.empty() || production.rhs.size() > 3) {
            fuzz::mismatch("production no strategy builds", input_text() + "\nengine = " + got());
        }
        if (engine::render_production(production).size() < 3) fuzz::mismatch("bad rendering", input_text());
    }

    // The reference parses every string twice per candidate with a cubic CYK.
    const std::size_t rule_estimate = 2 * (13 + alphabet.size()) + 1;
    double work = 0.0;
    for (const auto* corpus : {&train, &test}) {
        for (const std::string& text : *corpus) {
            if (const auto chars = reference::split_characters(text)) {
                work += 2.0 * reference::parse_work(chars->size(), rule_estimate);
            }
        }
    }
    if (work > kReferenceBudget) return 0;

    const reference::InductionResult expected = reference::induce_full(train, test, alphabet);
    const bool same_bpc = std::isinf(expected.bpc) ? result.bpc == expected.bpc
                                                   : std::fabs(result.bpc - expected.bpc) <= 1e-9;
    if (result.strategy != expected.strategy || !same_bpc || result.productions != expected.productions) {
        fuzz::mismatch("induction differs from the reference",
                       input_text() + "\nengine    = " + got() + "\nreference = " +
                           describe(expected.strategy, expected.bpc, expected.productions));
    }
    return 0;
}
