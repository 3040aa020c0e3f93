#include "corpus_scoring.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_set>

#include "cnf_conversion.hpp"
#include "cyk_parser.hpp"

namespace engine {

std::vector<std::pair<std::string_view, double>> ScoreMetrics::entries() const {
    std::vector<std::pair<std::string_view, double>> out;
    out.emplace_back("bpc_with_lib", bpc_with_lib);
    if (l_library) out.emplace_back("l_library", *l_library);
    if (l_data) out.emplace_back("l_data", *l_data);
    out.emplace_back("parse_failures", parse_failures);
    if (total_decisions) out.emplace_back("total_decisions", *total_decisions);
    return out;
}

double round_to(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

namespace {

double grammar_cost(std::span<const Production> productions, std::size_t terminal_count) {
    if (productions.empty()) return 0.0;
    std::unordered_set<std::string_view> left_sides;
    for (const Production& production : productions) left_sides.insert(production.lhs);
    const double symbol_bits =
        std::log2(static_cast<double>(std::max<std::size_t>(terminal_count + left_sides.size() + 1, 2)));
    double cost = 0.0;
    for (const Production& production : productions) {
        cost += static_cast<double>(production.rhs.size()) * symbol_bits + 2.0;
    }
    return cost;
}

}  // namespace

Outcome<ScoreMetrics> grammar_bpc(std::span<const Production> productions,
                                  std::span<const std::string_view> corpus,
                                  const TerminalSet& terminals, std::string_view start) {
    Outcome<std::vector<TaggedRule>> converted = to_cnf_tagged(productions, terminals);
    if (!converted.ok()) return converted.fault();
    const std::vector<TaggedRule>& rules = converted.value();

    const double l_library = grammar_cost(productions, terminals.size());
    const double spell_bits = std::log2(static_cast<double>(std::max<std::size_t>(terminals.size(), 2)));
    double l_data = 0.0;
    std::uint64_t parse_failures = 0;
    std::uint64_t corpus_length = 0;
    // Tags are production indices, so one dense counter per production suffices.
    std::vector<std::uint64_t> decisions(productions.size(), 0);

    CykParser parser(rules, start);
    std::vector<std::int32_t> tags;
    for (const std::string_view text : corpus) {
        if (parser.parse(text, tags)) {
            for (const std::int32_t tag : tags) {
                if (tag >= 0 && static_cast<std::size_t>(tag) < decisions.size()) ++decisions[tag];
            }
        } else {
            ++parse_failures;
            l_data += static_cast<double>(text.size()) * spell_bits;
        }
        corpus_length += text.size();
    }

    ScoreMetrics metrics;
    metrics.parse_failures = static_cast<double>(parse_failures);
    if (corpus_length == 0) {
        metrics.bpc_with_lib = std::numeric_limits<double>::infinity();
        return metrics;
    }
    std::uint64_t total = 0;
    for (const std::uint64_t count : decisions) total += count;
    if (total > 0) {
        // Summed in ascending tag order so every run gives the same bits.
        double entropy = 0.0;
        const auto whole = static_cast<double>(total);
        for (const std::uint64_t count : decisions) {
            if (count == 0) continue;
            const auto c = static_cast<double>(count);
            entropy += c * std::log2(c / whole);
        }
        l_data += -entropy;
    }
    metrics.bpc_with_lib = round_to((l_library + l_data) / static_cast<double>(corpus_length), 4);
    metrics.l_library = round_to(l_library, 2);
    metrics.l_data = round_to(l_data, 2);
    metrics.total_decisions = static_cast<double>(total);
    return metrics;
}

}  // namespace engine
