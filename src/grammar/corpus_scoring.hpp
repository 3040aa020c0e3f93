// corpus_scoring.hpp — description length of a grammar on a corpus, in bits per
// UTF-8 byte: grammar cost plus data cost, with the parts that make up the sum.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "derivation_counts.hpp"
#include "grammar.hpp"
#include "outcome.hpp"

namespace engine {

// The metrics of one scoring. The three optional entries are present exactly when
// the corpus holds at least one byte of text.
struct ScoreMetrics {
    double bpc_with_lib = 0.0;
    std::optional<double> l_library;
    std::optional<double> l_data;
    double parse_failures = 0.0;
    std::optional<double> total_decisions;

    // The present entries as (key, value), always in this fixed key order:
    // "bpc_with_lib", "l_library", "l_data", "parse_failures", "total_decisions".
    std::vector<std::pair<std::string_view, double>> entries() const;
};

// Rounds half away from zero to `decimals` places, in double arithmetic.
double round_to(double value, int decimals);

// The bits to write the productions down ("l_library"): each right-hand symbol at
// log2 of the terminals, left-hand sides and one more, and two bits a production.
double grammar_cost(std::span<const Production> productions, std::size_t terminal_count);

// The bits each byte of a string that does not parse costs: log2 of the terminals.
double spelling_bits(std::size_t terminal_count);

// The counts scoring needs for one run of strings (the whole corpus or any part
// of it). Faults only where the conversion does (a production with an empty
// right-hand side).
Outcome<DerivationCounts> count_for_scoring(std::span<const Production> productions,
                                            std::span<const std::string_view> corpus,
                                            const TerminalSet& terminals, std::string_view start);

// The metrics of the grammar from the counts of the whole corpus. Only integers
// are summed before this point, so any split of the corpus gives the same bits.
ScoreMetrics metrics_from_counts(std::span<const Production> productions, std::size_t terminal_count,
                                 const DerivationCounts& counts);

// count_for_scoring over the whole corpus, then metrics_from_counts.
Outcome<ScoreMetrics> grammar_bpc(std::span<const Production> productions,
                                  std::span<const std::string_view> corpus,
                                  const TerminalSet& terminals, std::string_view start);

}  // namespace engine
