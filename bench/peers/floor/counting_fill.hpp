// counting_fill.hpp — a copy of the parser's row-by-row chart fill and derivation
// walk that also counts the chart words their loops read and write.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "grammar/prepared_grammar.hpp"

namespace peers {

// Words touched, by loop. A "word" is one 64-bit chart word read or written once.
struct FillCounts {
    std::uint64_t end_scan_words = 0;     // words read while looking for the next end k of a row
    std::uint64_t row_or_words = 0;       // words OR-ed from a right part's row into a left-hand row
    std::uint64_t single_checks = 0;      // one-position right parts tested bit by bit
    std::uint64_t mirror_scan_words = 0;  // row words scanned to mirror a finished row into columns
    std::uint64_t mirrored_bits = 0;      // column bits set, one scattered word update each
    std::uint64_t walk_and_words = 0;     // words the walk's split search may AND (an upper bound)

    std::uint64_t fill_words() const noexcept {
        return end_scan_words + row_or_words + single_checks + mirror_scan_words + mirrored_bits;
    }
};

// Parses `text` with the counting copy; the tags of the derivation, or nothing.
// The chart it fills is the engine's own, so the result must equal the parser's.
std::optional<std::vector<std::int32_t>> counting_parse(const engine::PreparedGrammar& grammar,
                                                        std::string_view text, FillCounts& counts);

}  // namespace peers
