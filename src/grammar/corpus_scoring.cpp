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

double spelling_bits(std::size_t terminal_count) {
    return std::log2(static_cast<double>(std::max<std::size_t>(terminal_count, 2)));
}

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

Outcome<DerivationCounts> count_for_scoring(std::span<const Production> productions,
                                            std::span<const std::string_view> corpus,
                                            const TerminalSet& terminals, std::string_view start) {
    Outcome<std::vector<TaggedRule>> converted = to_cnf_tagged(productions, terminals);
    if (!converted.ok()) return converted.fault();
    CykParser parser(converted.value(), start);
    return count_derivations(parser, productions.size(), corpus);
}

ScoreMetrics metrics_from_counts(std::span<const Production> productions, std::size_t terminal_count,
                                 const DerivationCounts& counts) {
    ScoreMetrics metrics;
    metrics.parse_failures = static_cast<double>(counts.parse_failures);
    if (counts.corpus_bytes == 0) {
        metrics.bpc_with_lib = std::numeric_limits<double>::infinity();
        return metrics;
    }
    const double l_library = grammar_cost(productions, terminal_count);
    const double spell_bits = spelling_bits(terminal_count);
    // Strings that do not parse are spelled out character by character. Their bytes
    // are counted as an integer and multiplied once, so the bits do not depend on
    // the order or grouping in which the strings were seen.
    double l_data = static_cast<double>(counts.failed_bytes) * spell_bits;
    std::uint64_t total = 0;
    for (const std::uint64_t count : counts.uses) total += count;
    if (total > 0) {
        // Summed in ascending tag order so every run gives the same bits.
        double entropy = 0.0;
        const auto whole = static_cast<double>(total);
        for (const std::uint64_t count : counts.uses) {
            if (count == 0) continue;
            const auto c = static_cast<double>(count);
            entropy += c * std::log2(c / whole);
        }
        l_data += -entropy;
    }
    metrics.bpc_with_lib = round_to((l_library + l_data) / static_cast<double>(counts.corpus_bytes), 4);
    metrics.l_library = round_to(l_library, 2);
    metrics.l_data = round_to(l_data, 2);
    metrics.total_decisions = static_cast<double>(total);
    return metrics;
}

Outcome<ScoreMetrics> grammar_bpc(std::span<const Production> productions,
                                  std::span<const std::string_view> corpus,
                                  const TerminalSet& terminals, std::string_view start) {
    const Outcome<DerivationCounts> counts = count_for_scoring(productions, corpus, terminals, start);
    if (!counts.ok()) return counts.fault();
    return metrics_from_counts(productions, terminals.size(), counts.value());
}

}  // namespace engine
