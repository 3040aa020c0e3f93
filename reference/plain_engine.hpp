// plain_engine.hpp — a deliberately plain engine: tagged CNF conversion, CYK over
// hash sets keyed by name, scoring and induction, each written the obvious way.
#pragma once

// The benchmarks time the engine against it and the fuzz targets check the engine
// against it, so it favours being evidently right over being fast. It shares only
// the grammar model and the induction thresholds with the engine's cores.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "grammar/grammar.hpp"

namespace reference {

using engine::Production;
using engine::TaggedRule;
using NameSet = std::unordered_set<std::string>;

// The score of one grammar on one corpus; the optional entries are absent when the
// corpus holds no text.
struct Metrics {
    double bpc_with_lib = 0.0;
    double parse_failures = 0.0;
    std::optional<double> l_library;
    std::optional<double> l_data;
    std::optional<double> total_decisions;
};

// The chosen candidate; with no finite score the strategy is empty, bpc is
// +infinity and there are no productions.
struct InductionResult {
    std::string strategy;
    double bpc;
    std::vector<Production> productions;
};

// The texts of the characters of strictly valid UTF-8; nothing on any malformed
// byte (such text matches no terminal rule, so it never parses).
std::optional<std::vector<std::string>> split_characters(std::string_view text);

// The characters of a corpus string as the induction counts them: each valid
// UTF-8 character, and each byte that starts no valid character on its own.
std::vector<std::string> corpus_characters(std::string_view text);

// Rounds half away from zero to `decimals` places.
double round_to(double value, int decimals);

// Nothing when a production has an empty right-hand side.
std::optional<std::vector<TaggedRule>> to_cnf_tagged(const std::vector<Production>& productions,
                                                     const NameSet& terminals);

std::optional<std::vector<std::int32_t>> parse_cnf(std::string_view text, const std::vector<TaggedRule>& rules,
                                                   const std::string& start);

// Nothing when the conversion fails.
std::optional<Metrics> grammar_bpc(const std::vector<Production>& productions,
                                   const std::vector<std::string>& corpus, const NameSet& terminals,
                                   const std::string& start);

InductionResult induce_full(const std::vector<std::string>& corpus_train,
                            const std::vector<std::string>& corpus_test,
                            const std::vector<std::string>& alphabet);

// Rough count of the set look-ups parse_cnf makes on `characters` characters with
// `rules` rules, for callers that keep their own run times in bounds.
inline double parse_work(std::size_t characters, std::size_t rules) {
    const double n = static_cast<double>(characters);
    return n * n * n / 6.0 * static_cast<double>(rules) + n * static_cast<double>(rules);
}

}  // namespace reference
