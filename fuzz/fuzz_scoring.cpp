// Fuzzes corpus scoring against the plain reference: the same metrics present,
// the same values, and the conversion fault exactly when a production is empty.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "fuzz_input.hpp"
#include "fuzz_report.hpp"
#include "grammar/corpus_scoring.hpp"
#include "plain_engine.hpp"

namespace {

constexpr double kReferenceBudget = 2e6;

bool same(double a, double b) {
    if (std::isinf(a) || std::isinf(b)) return a == b;
    return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(b));
}

bool same(const std::optional<double>& a, const std::optional<double>& b) {
    return a.has_value() == b.has_value() && (!a || same(*a, *b));
}

std::string describe(const engine::ScoreMetrics& metrics) {
    std::string out = "{";
    for (const auto& [key, value] : metrics.entries()) out += std::string(key) + ": " + std::to_string(value) + ", ";
    return out + "}";
}

std::string describe(const reference::Metrics& metrics) {
    const auto show = [](const std::optional<double>& value) { return value ? std::to_string(*value) : "absent"; };
    return "{bpc_with_lib: " + std::to_string(metrics.bpc_with_lib) + ", l_library: " + show(metrics.l_library) +
           ", l_data: " + show(metrics.l_data) + ", parse_failures: " + std::to_string(metrics.parse_failures) +
           ", total_decisions: " + show(metrics.total_decisions) + "}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const std::set<std::string> terminals = input.terminals(6);
    const std::vector<engine::Production> productions = input.productions(12, true);
    const std::string start = input.head_symbol();
    const std::vector<std::string> corpus = input.corpus(8);
    const std::vector<std::string_view> corpus_views = fuzz::views(corpus);

    const auto scored = engine::grammar_bpc(productions, corpus_views, fuzz::make_terminal_set(terminals), start);
    const auto input_text = [&] {
        return "productions = " + fuzz::describe(productions) + "\ncorpus = " + fuzz::describe(corpus) +
               "\nterminals = " + fuzz::describe(terminals) + "\nstart = " + fuzz::quoted(start);
    };
    fuzz::show_input(input_text);

    // Skip the reference when its plain CYK would take too long.
    std::size_t rule_estimate = 1;
    for (const engine::Production& production : productions) rule_estimate += production.rhs.size() + 1;
    double work = 0.0;
    for (const std::string& text : corpus) {
        if (const auto chars = reference::split_characters(text)) {
            work += reference::parse_work(chars->size(), rule_estimate);
        }
    }
    if (work > kReferenceBudget) {
        if (scored.ok() && scored.value().parse_failures > static_cast<double>(corpus.size())) {
            fuzz::mismatch("more failures than strings", input_text() + "\nengine = " + describe(scored.value()));
        }
        return 0;
    }

    const auto expected = reference::grammar_bpc(productions, corpus, {terminals.begin(), terminals.end()}, start);
    if (!expected) {
        if (scored.ok()) fuzz::mismatch("scoring accepted an empty right-hand side", input_text());
        return 0;
    }
    if (!scored.ok()) fuzz::mismatch("scoring faulted", input_text() + "\nmessage = " + scored.fault().message);
    const engine::ScoreMetrics& got = scored.value();
    if (!same(got.bpc_with_lib, expected->bpc_with_lib) || !same(got.l_library, expected->l_library) ||
        !same(got.l_data, expected->l_data) || !same(got.parse_failures, expected->parse_failures) ||
        !same(got.total_decisions, expected->total_decisions)) {
        fuzz::mismatch("metrics differ", input_text() + "\nengine    = " + describe(got) +
                                             "\nreference = " + describe(*expected));
    }
    return 0;
}
