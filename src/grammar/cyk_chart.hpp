// cyk_chart.hpp — the bit-parallel CYK chart: for each wide symbol, bit rows of the
// span ends reachable from each start and bit columns of the starts reaching each end.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "prepared_grammar.hpp"

namespace engine {

inline constexpr std::size_t kNoSplit = static_cast<std::size_t>(-1);

// Row i of a symbol holds bit j when the symbol derives span (i, j); only words
// from i / 64 on are stored. Column j holds bit s - 1 when it derives (s, j),
// s >= 1 (a right part never starts at 0); only words up to j / 64 are stored.
// One bitset per symbol marks the single positions it derives.
class CykChart {
public:
    // Sizes and clears the chart for `length` characters, keeping earlier memory.
    // Throws std::bad_alloc when the chart would not fit in memory.
    void reset(const PreparedGrammar& grammar, std::size_t length);

    std::size_t length() const noexcept { return length_; }

    void set_single(SymbolId symbol, std::size_t position, bool wide) noexcept {
        singles_[symbol * words_ + (position >> 6)] |= bit(position);
        if (wide) {
            row(symbol, position)[position >> 6] |= bit(position);
            row_end(symbol, position) = (position >> 6) + 1;
            if (position > 0) column(symbol, position)[(position - 1) >> 6] |= bit(position - 1);
        }
    }

    // Word w of the ends of the spans that `symbol` derives from start i.
    std::uint64_t ends_from(const PreparedGrammar& grammar, SymbolId symbol, std::size_t i,
                            std::size_t w) const noexcept {
        if (grammar.is_wide(symbol)) return w < row_end(symbol, i) ? row(symbol, i)[w] : 0;
        return w == (i >> 6) ? singles_[symbol * words_ + w] & bit(i) : 0;
    }

    std::size_t words_per_row() const noexcept { return words_; }

    // One past the last word of row i of a wide symbol that may hold an end.
    std::size_t row_end_of(SymbolId symbol, std::size_t i) const noexcept { return row_end(symbol, i); }

    // For a rule lhs -> X right whose X derives (i, k): every span (k + 1, j) that
    // `right` derives makes lhs derive (i, j). `lhs` is wide.
    void extend_row(const PreparedGrammar& grammar, SymbolId lhs, std::size_t i, SymbolId right,
                    std::size_t next) noexcept {
        std::uint64_t* target = row(lhs, i);
        std::size_t& target_end = row_end(lhs, i);
        if (!grammar.is_wide(right)) {
            if (singles_[right * words_ + (next >> 6)] & bit(next)) {
                target[next >> 6] |= bit(next);
                if (target_end <= (next >> 6)) target_end = (next >> 6) + 1;
            }
            return;
        }
        const std::uint64_t* source = row(right, next);
        const std::size_t end = row_end(right, next);
        // Words from `full` on already hold every end they can: skip them.
        std::size_t& full = full_from_mut(lhs, i);
        const std::size_t stop = end < full ? end : full;
        for (std::size_t w = next >> 6; w < stop; ++w) target[w] |= source[w];
        if (target_end < end) target_end = end;
        if (stop == full || stop == words_) {
            while (full > (i >> 6) && target[full - 1] == full_word(full - 1)) --full;
        }
    }

    // Once row i of every symbol is final: mirrors its spans into the columns.
    void finish_row(const PreparedGrammar& grammar, std::size_t i) noexcept;

    bool derives(const PreparedGrammar& grammar, SymbolId symbol, std::size_t i, std::size_t j) const noexcept {
        if (i == j) return (singles_[symbol * words_ + (i >> 6)] & bit(i)) != 0;
        return grammar.is_wide(symbol) && (row(symbol, i)[j >> 6] & bit(j)) != 0;
    }

    // The smallest split k (left part (i, k), right part (k + 1, j)) at which `rule`
    // applies to span (i, j), i < j, or kNoSplit.
    std::size_t first_split(const PreparedGrammar& grammar, const BinaryRule& rule, std::size_t i,
                            std::size_t j) const noexcept;

private:
    static std::uint64_t bit(std::size_t index) noexcept { return std::uint64_t{1} << (index & 63); }

    // Pointers indexed by absolute word number.
    std::uint64_t* row(SymbolId symbol, std::size_t i) noexcept {
        return rows_.data() + symbol * row_block_ + row_offset_[i] - (i >> 6);
    }
    const std::uint64_t* row(SymbolId symbol, std::size_t i) const noexcept {
        return rows_.data() + symbol * row_block_ + row_offset_[i] - (i >> 6);
    }
    // Where a row's run of completely filled words up to its end begins.
    std::size_t& full_from_mut(SymbolId symbol, std::size_t i) noexcept { return full_from_[symbol * length_ + i]; }

public:
    // Words of the row from this one on hold every end they can: nothing more can
    // be added there.
    std::size_t full_from(SymbolId symbol, std::size_t i) const noexcept { return full_from_[symbol * length_ + i]; }

private:
    // A word of a row with every valid end set.
    std::uint64_t full_word(std::size_t w) const noexcept {
        const std::size_t valid = length_ - (w << 6);
        return valid >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << valid) - 1;
    }

    // One past the last word of the row that may hold a bit.
    std::size_t& row_end(SymbolId symbol, std::size_t i) noexcept { return row_ends_[symbol * length_ + i]; }
    std::size_t row_end(SymbolId symbol, std::size_t i) const noexcept { return row_ends_[symbol * length_ + i]; }

    std::uint64_t* column(SymbolId symbol, std::size_t j) noexcept {
        return columns_.data() + symbol * column_block_ + column_offset_[j];
    }
    const std::uint64_t* column(SymbolId symbol, std::size_t j) const noexcept {
        return columns_.data() + symbol * column_block_ + column_offset_[j];
    }

    std::size_t length_ = 0;
    std::size_t words_ = 0;
    std::size_t row_block_ = 0;
    std::size_t column_block_ = 0;
    std::vector<std::size_t> row_offset_;
    std::vector<std::size_t> column_offset_;
    std::vector<std::uint64_t> rows_;
    std::vector<std::uint64_t> columns_;
    std::vector<std::uint64_t> singles_;
    std::vector<std::size_t> row_ends_;
    std::vector<std::size_t> full_from_;
};

// The most bytes one chart may take: half of the machine's physical memory.
std::size_t chart_memory_limit() noexcept;

// The bytes a chart for `length` characters takes with `wide` wide symbols and
// `symbols` symbols in all (saturating rather than overflowing).
double chart_bytes(std::size_t length, std::size_t wide, std::size_t symbols) noexcept;

}  // namespace engine
