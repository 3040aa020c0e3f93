// short_row_chart.hpp — the CYK chart of a short string as dense rows: for each start
// and wide symbol a row of span ends a few words wide, found by index, not search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cyk_chart.hpp"
#include "fill_budget.hpp"
#include "prepared_grammar.hpp"

namespace engine {

// Holds every span every symbol derives, with no prediction. Rows are filled
// from the last start to the first, as on the predicting chart, but each sits at
// a fixed place and a bit mask per start says which symbols' rows hold anything,
// so nothing is copied, searched for or cleared beyond the masks. Suited to the
// sparse charts of grammars with many rules whose parts are single characters.
class ShortRowChart {
public:
    // Longest string and largest chart this chart takes.
    static constexpr std::size_t kMaxLength = 256;
    static constexpr std::size_t kMaxBytes = std::size_t{12} << 20;

    // Whether a string of `length` characters fits.
    static bool fits(const PreparedGrammar& grammar, std::size_t length) noexcept;

    // Fills the chart for the characters (ids of `grammar`, which must fit and
    // outlive the chart's use). False, leaving the chart unusable, when `budget`
    // (if any) runs out first.
    bool fill(const PreparedGrammar& grammar, std::span<const std::uint32_t> characters, FillBudget* budget);

    bool derives(SymbolId symbol, std::size_t i, std::size_t j) const noexcept;

    // The smallest split k (left part (i, k), right part (k + 1, j)) at which
    // `rule` applies to span (i, j), i < j, or kNoSplit.
    std::size_t first_split(const BinaryRule& rule, std::size_t i, std::size_t j) const noexcept;

    std::size_t bytes_held() const noexcept {
        return sizeof(std::uint64_t) * (rows_.capacity() + masks_.capacity()) +
               sizeof(SymbolId) * taking_.capacity();
    }

private:
    template <std::size_t Words>
    bool fill_rows(FillBudget* budget);

    bool holds(std::size_t i, SymbolId symbol) const noexcept {
        return ((masks_[i * mask_words_ + (symbol >> 6)] >> (symbol & 63)) & 1) != 0;
    }
    // Wide `symbol`'s row at start i: valid only where holds(i, symbol).
    const std::uint64_t* row(std::size_t i, SymbolId symbol) const noexcept {
        return rows_.data() + (i * wide_ + symbol) * words_;
    }

    // Per symbol, of the grammar the chart last filled for: whether it is the
    // first part of a rule whose second part is wide, or one character.
    static constexpr std::uint8_t kWideCorners = 1;
    static constexpr std::uint8_t kCharacterCorners = 2;
    std::vector<std::uint8_t> corners_;
    const PreparedGrammar* prepared_for_ = nullptr;

    const PreparedGrammar* grammar_ = nullptr;
    std::span<const std::uint32_t> characters_;
    std::size_t length_ = 0;
    std::size_t words_ = 0;
    std::size_t wide_ = 0;
    std::size_t mask_words_ = 0;
    std::vector<std::uint64_t> rows_;   // length * wide * words
    std::vector<std::uint64_t> masks_;  // length * mask_words: the symbols holding a row
    // Of the open row: the symbols holding ends that are the first part of some rule.
    std::vector<SymbolId> taking_;
};

}  // namespace engine
