// naive_core.hpp — a deliberately plain reference engine for benchmarks: tagged CNF
// conversion, hash-set CYK parsing, scoring and induction, written the obvious way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace naive {

using NameSet = std::unordered_set<std::string>;

struct Production {
    std::string lhs;
    std::vector<std::string> rhs;
};

struct TaggedRule {
    std::string lhs;
    std::vector<std::string> rhs;
    std::int32_t tag = -1;
};

// The score of one grammar on one corpus; optional entries are absent when the
// corpus holds no text.
struct Metrics {
    double bpc_with_lib = 0.0;
    double parse_failures = 0.0;
    std::optional<double> l_library;
    std::optional<double> l_data;
    std::optional<double> total_decisions;
};

struct InductionResult {
    std::string strategy;
    double bpc;
    std::vector<Production> productions;
};

// Splits UTF-8 text into the texts of its code points.
std::vector<std::string> split_characters(std::string_view text);

// Rounds half away from zero to `decimals` places.
double round_to(double value, int decimals);

// Throws std::out_of_range for a production with an empty right-hand side.
std::vector<TaggedRule> to_cnf_tagged(const std::vector<Production>& productions,
                                      const NameSet& terminals);

std::optional<std::vector<std::int32_t>> parse_cnf(std::string_view text,
                                                   const std::vector<TaggedRule>& rules,
                                                   const std::string& start);

Metrics grammar_bpc(const std::vector<Production>& productions,
                    const std::vector<std::string>& corpus, const NameSet& terminals,
                    const std::string& start);

InductionResult induce_full(const std::vector<std::string>& corpus_train,
                            const std::vector<std::string>& corpus_test,
                            const std::vector<std::string>& alphabet);

}  // namespace naive
