// Description-length score of a grammar on a corpus: grammar bits plus corpus bits
// (spelled-out failures and the entropy of production decisions), per byte.
#include <algorithm>
#include <cmath>
#include <limits>

#include "naive_core.hpp"

namespace naive {

double round_to(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

Metrics grammar_bpc(const std::vector<Production>& productions,
                    const std::vector<std::string>& corpus, const NameSet& terminals,
                    const std::string& start) {
    const std::vector<TaggedRule> rules = to_cnf_tagged(productions, terminals);
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

    double l_data = 0.0;
    std::uint64_t parse_failures = 0;
    std::uint64_t corpus_length = 0;
    std::unordered_map<std::int32_t, std::uint64_t> decision_counts;
    for (const std::string& text : corpus) {
        const auto tags = parse_cnf(text, rules, start);
        if (!tags) {
            ++parse_failures;
            l_data += static_cast<double>(text.size()) * spell_bits;
        } else {
            for (const std::int32_t tag : *tags) {
                if (tag >= 0) ++decision_counts[tag];
            }
        }
        corpus_length += text.size();
    }

    Metrics metrics;
    metrics.parse_failures = static_cast<double>(parse_failures);
    if (corpus_length == 0) {
        metrics.bpc_with_lib = std::numeric_limits<double>::infinity();
        return metrics;
    }
    std::uint64_t total = 0;
    for (const auto& [tag, count] : decision_counts) total += count;
    if (total > 0) {
        // The entropy is summed in ascending tag order so that its last bits agree
        // with any other implementation that fixes the same order.
        std::vector<std::pair<std::int32_t, std::uint64_t>> ordered(decision_counts.begin(), decision_counts.end());
        std::sort(ordered.begin(), ordered.end());
        double entropy = 0.0;
        const auto whole = static_cast<double>(total);
        for (const auto& [tag, count] : ordered) {
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

}  // namespace naive
