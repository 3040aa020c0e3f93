// derivation_counts.hpp — how the derivations of a run of strings use a grammar's
// productions, with the failures and bytes of the run; counts of runs add up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "cyk_parser.hpp"

namespace engine {

// Everything scoring and pruning need to know about a run of strings. Counts of
// consecutive runs added together equal the counts of the whole run, in any grouping.
struct DerivationCounts {
    // Nodes built by each production (by index) over the derivations found.
    std::vector<std::uint64_t> uses;
    std::uint64_t parse_failures = 0;
    // UTF-8 bytes of the strings that did not parse, and of all strings.
    std::uint64_t failed_bytes = 0;
    std::uint64_t corpus_bytes = 0;

    // Adds `other` to these counts; `uses` grows to the longer of the two.
    void add(const DerivationCounts& other);

    friend bool operator==(const DerivationCounts&, const DerivationCounts&) = default;
};

// Called once for each distinct string, after it is counted, with how often it
// occurs and whether it parsed; returning false ends the run there.
using StringVisitor = std::function<bool(std::string_view text, std::uint64_t occurrences, bool parsed)>;

// Parses every string of `corpus` with `parser` (a string repeated nearby is parsed
// once and counted each time), whose rule tags index a list of
// `production_count` productions. Auxiliary rules (negative tags) and tags beyond
// the list are not counted as uses.
DerivationCounts count_derivations(CykParser& parser, std::size_t production_count,
                                   std::span<const std::string_view> corpus,
                                   const StringVisitor& visit = {});

}  // namespace engine
