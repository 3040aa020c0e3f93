// Description-length score of a grammar on a corpus: grammar bits plus corpus bits
// (spelled-out failures and the entropy of production decisions), per byte.
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "plain_engine.hpp"

namespace reference {

double round_to(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

std::optional<Metrics> grammar_bpc(const std::vector<Production>& productions,
                                   const std::vector<std::string>& corpus, const NameSet& terminals,
                                   const std::string& start) {
    const auto rules = to_cnf_tagged(productions, terminals);
    if (!rules) return std::nullopt;
    const std::size_t t = terminals.size();

    double l_library = 0.0;
    if (!productions.empty()) {
        NameSet left_sides;
        for (const Production& production : productions) left_sides.insert(production.lhs);
        const double symbol_bits = std::log2(static_cast<double>(std::max<std::size_t>(t + left_sides.size() + 1, 2)));
        for (const Production& production : productions) {
            l_library += static_cast<double>(production.rhs.size()) * symbol_bits + 2.0;
        }
    }
    const double spell_bits = std::log2(static_cast<double>(std::max<std::size_t>(t, 2)));

    // Failed strings are spelled byte by byte: their bytes are counted, and priced once.
    std::uint64_t failed_bytes = 0;
    std::uint64_t parse_failures = 0;
    std::uint64_t corpus_length = 0;
    std::map<std::int32_t, std::uint64_t> decision_counts;  // ascending tag order
    for (const std::string& text : corpus) {
        const auto tags = parse_cnf(text, *rules, start);
        if (!tags) {
            ++parse_failures;
            failed_bytes += text.size();
        } else {
            for (const std::int32_t tag : *tags) {
                if (tag >= 0) ++decision_counts[tag];
            }
        }
        corpus_length += text.size();
    }

    if (corpus_length == 0) {
        return Metrics{.bpc_with_lib = std::numeric_limits<double>::infinity(),
                       .parse_failures = static_cast<double>(parse_failures),
                       .l_library = std::nullopt,
                       .l_data = std::nullopt,
                       .total_decisions = std::nullopt};
    }
    // The entropy of the decisions, summed in ascending tag order so that its last
    // bits agree with any other implementation that fixes the same order.
    std::uint64_t decisions = 0;
    for (const auto& [tag, count] : decision_counts) decisions += count;
    double decision_bits = 0.0;
    for (const auto& [tag, count] : decision_counts) {
        const double share = static_cast<double>(count) / static_cast<double>(decisions);
        decision_bits -= static_cast<double>(count) * std::log2(share);
    }
    const double l_data = static_cast<double>(failed_bytes) * spell_bits + decision_bits;
    return Metrics{.bpc_with_lib = round_to((l_library + l_data) / static_cast<double>(corpus_length), 4),
                   .parse_failures = static_cast<double>(parse_failures),
                   .l_library = round_to(l_library, 2),
                   .l_data = round_to(l_data, 2),
                   .total_decisions = static_cast<double>(decisions)};
}

}  // namespace reference
