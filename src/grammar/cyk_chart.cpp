#include "cyk_chart.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <unistd.h>

namespace engine {

std::size_t chart_memory_limit() noexcept {
    // Asked once: the query is a system call.
    static const std::size_t limit = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGESIZE);
        if (pages <= 0 || page_size <= 0) return std::size_t{1} << 32;
        return static_cast<std::size_t>(pages) / 2 * static_cast<std::size_t>(page_size);
    }();
    return limit;
}

double chart_bytes(std::size_t length, std::size_t wide, std::size_t symbols) noexcept {
    const double n = static_cast<double>(length);
    const double words = std::floor((n + 63.0) / 64.0);
    // Row ends take a word per row; rows hold about n * words - n * n / 128 words, columns about n * n / 128 + n.
    const double per_wide = n * words + 3.0 * n;
    return 8.0 * (static_cast<double>(wide) * per_wide + static_cast<double>(symbols) * words) +
           16.0 * (n + 1.0);
}

void CykChart::reset(const PreparedGrammar& grammar, std::size_t length) {
    if (chart_bytes(length, grammar.wide_count(), grammar.symbol_count()) >
        static_cast<double>(chart_memory_limit())) {
        throw std::bad_alloc();
    }
    length_ = length;
    words_ = (length + 63) / 64;
    row_offset_.resize(length + 1);
    column_offset_.resize(length + 1);
    std::size_t row_words = 0;
    std::size_t column_words = 0;
    for (std::size_t p = 0; p < length; ++p) {
        row_offset_[p] = row_words;
        row_words += words_ - (p >> 6);
        column_offset_[p] = column_words;
        column_words += (p >> 6) + 1;
    }
    row_block_ = row_words;
    column_block_ = column_words;
    const std::size_t wide = grammar.wide_count();
    rows_.assign(wide * row_block_, 0);
    columns_.assign(wide * column_block_, 0);
    singles_.assign(grammar.symbol_count() * words_, 0);
    row_ends_.assign(wide * length, 0);
    full_from_.assign(wide * length, words_);
}

void CykChart::finish_row(const PreparedGrammar& grammar, std::size_t i) noexcept {
    if (i == 0) return;  // no right part ever starts at 0
    const std::size_t first_word = i >> 6;
    const std::uint64_t column_bit = bit(i - 1);
    const std::size_t column_word = (i - 1) >> 6;
    for (SymbolId symbol = 0; symbol < grammar.wide_count(); ++symbol) {
        const std::uint64_t* words = row(symbol, i);
        const std::size_t end = row_end(symbol, i);
        for (std::size_t w = first_word; w < end; ++w) {
            // Span (i, i) is mirrored when it is set.
            std::uint64_t bits = w == first_word ? words[w] & ~((bit(i) << 1) - 1) : words[w];
            while (bits) {
                const std::size_t j = (w << 6) + std::countr_zero(bits);
                bits &= bits - 1;
                column(symbol, j)[column_word] |= column_bit;
            }
        }
    }
}

std::size_t CykChart::first_split(const PreparedGrammar& grammar, const BinaryRule& rule, std::size_t i,
                                  std::size_t j) const noexcept {
    // Only splits where each part's length lies within its symbol's bounds.
    const std::size_t span_end = j;
    std::size_t lo = i + grammar.min_length(rule.left) - 1;
    const std::size_t max_right = grammar.max_length(rule.right);
    if (max_right < span_end && span_end - max_right > lo) lo = span_end - max_right;
    const std::size_t min_right = grammar.min_length(rule.right);
    if (min_right > span_end) return kNoSplit;
    std::size_t hi = std::min(span_end - min_right, j - 1);
    const std::size_t max_left = grammar.max_length(rule.left);
    if (max_left <= hi - i) hi = i + max_left - 1;
    if (lo > hi || hi >= j) return kNoSplit;
    if (lo == hi) {
        return derives(grammar, rule.left, i, lo) && derives(grammar, rule.right, lo + 1, j) ? lo : kNoSplit;
    }
    // Two wide symbols: the lowest k set in both row(left, i) and column(right, j).
    const std::uint64_t* left_row = row(rule.left, i);
    const std::uint64_t* right_column = column(rule.right, j);
    const std::size_t first_word = lo >> 6;
    const std::size_t last_word = hi >> 6;
    const std::uint64_t first_mask = ~std::uint64_t{0} << (lo & 63);
    const std::uint64_t last_mask = ~std::uint64_t{0} >> (63 - (hi & 63));
    if (first_word == last_word) {
        const std::uint64_t hits = left_row[first_word] & right_column[first_word] & first_mask & last_mask;
        return hits ? (first_word << 6) + std::countr_zero(hits) : kNoSplit;
    }
    std::uint64_t hits = left_row[first_word] & right_column[first_word] & first_mask;
    if (hits) return (first_word << 6) + std::countr_zero(hits);
    for (std::size_t w = first_word + 1; w < last_word; ++w) {
        hits = left_row[w] & right_column[w];
        if (hits) return (w << 6) + std::countr_zero(hits);
    }
    hits = left_row[last_word] & right_column[last_word] & last_mask;
    return hits ? (last_word << 6) + std::countr_zero(hits) : kNoSplit;
}

}  // namespace engine
