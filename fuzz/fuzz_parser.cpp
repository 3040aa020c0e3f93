// Fuzzes the CYK parser differentially: every text is parsed by one reused
// CykParser, by parsers held to each of the three fills (the span chart both
// ways of deciding a length, and choosing), by the one-shot parse_cnf and, where
// cheap enough, by the plain reference CYK; any difference in the tag sequences
// aborts.
#include <algorithm>
#include <cstdint>

#include "fuzz_input.hpp"
#include "fuzz_report.hpp"
#include "grammar/cnf_conversion.hpp"
#include "grammar/cyk_parser.hpp"
#include "grammar/span_chart.hpp"
#include "plain_engine.hpp"

namespace {

// Above this many reference look-ups a text is only checked for invariants.
constexpr double kReferenceBudget = 1.5e6;

std::size_t character_count(std::string_view text) {
    const auto chars = reference::split_characters(text);
    return chars ? chars->size() : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    std::vector<engine::TaggedRule> rules;
    if (input.flag()) {
        const std::set<std::string> terminals = input.terminals(6);
        const auto converted = engine::to_cnf_tagged(input.productions(16, false), fuzz::make_terminal_set(terminals));
        if (converted.ok()) rules = converted.value();
    } else {
        rules = input.tagged_rules(24);
    }
    const std::string start = input.head_symbol();
    const std::size_t text_count = 1 + input.below(4);

    const std::size_t binary_rules = static_cast<std::size_t>(
        std::count_if(rules.begin(), rules.end(), [](const engine::TaggedRule& rule) { return rule.rhs.size() == 2; }));
    const bool empty_second = std::any_of(rules.begin(), rules.end(), [](const engine::TaggedRule& rule) {
        return rule.rhs.size() == 2 && rule.rhs[1].empty();
    });

    engine::CykParser parser(rules, start);
    engine::CykParser by_spans(rules, start);
    by_spans.choose_chart(engine::ChartChoice::span);
    engine::CykParser by_starts(rules, start);
    by_starts.choose_chart(engine::ChartChoice::span);
    by_starts.choose_span_pass(engine::SpanPass::by_starts);
    engine::CykParser by_cells(rules, start);
    by_cells.choose_chart(engine::ChartChoice::span);
    by_cells.choose_span_pass(engine::SpanPass::by_cells);
    engine::CykParser predicting(rules, start);
    predicting.choose_chart(engine::ChartChoice::predicting);
    engine::CykParser plain(rules, start);
    plain.choose_chart(engine::ChartChoice::plain);
    for (std::size_t t = 0; t < text_count; ++t) {
        const std::string text = input.text();
        const auto reused = parser.parse(text);
        const auto one_shot = engine::parse_cnf(text, rules, start);
        const auto input_text = [&] {
            return "s = " + fuzz::quoted(text) + "\ncnf_rules = " + fuzz::describe(rules) +
                   "\nstart = " + fuzz::quoted(start);
        };
        fuzz::show_input(input_text);
        if (reused != one_shot) {
            fuzz::mismatch("reused parser differs from a fresh one",
                           input_text() + "\nreused   = " + fuzz::describe(reused) +
                               "\none-shot = " + fuzz::describe(one_shot));
        }
        // Longer texts are parsed on the predicting chart whatever the choice.
        const std::size_t n = character_count(text);
        const bool short_text = n <= engine::SpanChart::kMaxLength;
        const auto predicting_chart = predicting.parse(text);
        const auto span_chart = short_text ? by_spans.parse(text) : predicting_chart;
        const auto span_by_starts = short_text ? by_starts.parse(text) : predicting_chart;
        const auto span_by_cells = short_text ? by_cells.parse(text) : predicting_chart;
        const auto plain_rows = short_text ? plain.parse(text) : predicting_chart;
        if (span_chart != predicting_chart || plain_rows != predicting_chart || reused != span_chart ||
            span_by_starts != span_chart || span_by_cells != span_chart) {
            fuzz::mismatch("the charts differ", input_text() + "\nspan chart       = " + fuzz::describe(span_chart) +
                                                    "\n  by starts      = " + fuzz::describe(span_by_starts) +
                                                    "\n  by cells       = " + fuzz::describe(span_by_cells) +
                                                    "\npredicting chart = " + fuzz::describe(predicting_chart) +
                                                    "\nplain rows       = " + fuzz::describe(plain_rows));
        }
        if (reference::parse_work(n, binary_rules + 1) <= kReferenceBudget) {
            const auto expected = reference::parse_cnf(text, rules, start);
            if (reused != expected) {
                fuzz::mismatch("parse differs from the reference", input_text() +
                                                                       "\nengine    = " + fuzz::describe(reused) +
                                                                       "\nreference = " + fuzz::describe(expected));
            }
        } else if (reused) {
            // Too long for the reference: check what every accepted parse satisfies.
            if (!empty_second && reused->size() != 2 * n - 1) {
                fuzz::mismatch("accepted parse has the wrong number of tags",
                               input_text() + "\nengine = " + fuzz::describe(reused));
            }
            for (const std::int32_t tag : *reused) {
                const bool known = std::any_of(rules.begin(), rules.end(),
                                               [&](const engine::TaggedRule& rule) { return rule.tag == tag; });
                if (!known) fuzz::mismatch("tag from no rule", input_text() + "\nengine = " + fuzz::describe(reused));
            }
        }
    }
    return 0;
}
