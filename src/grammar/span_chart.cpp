#include "span_chart.hpp"

#include <algorithm>
#include <bit>

namespace engine {

bool SpanChart::fits(const PreparedGrammar& grammar, std::size_t length) noexcept {
    if (length > kMaxLength) return false;
    const std::size_t words = (length + 63) / 64;
    return 2 * grammar.symbol_count() * length * words * sizeof(std::uint64_t) <= kMaxBytes;
}

void SpanChart::mark(SymbolId symbol, std::size_t i, std::size_t j) noexcept {
    ends_[slot(symbol, i) + (j >> 6)] |= std::uint64_t{1} << (j & 63);
    if (i > 0) splits_[slot(symbol, j) + ((i - 1) >> 6)] |= std::uint64_t{1} << ((i - 1) & 63);
}

std::size_t SpanChart::fill(const PreparedGrammar& grammar, std::span<const std::uint32_t> characters) {
    length_ = characters.size();
    words_ = (length_ + 63) / 64;
    const std::size_t size = grammar.symbol_count() * length_ * words_;
    ends_.assign(size, 0);
    splits_.assign(size, 0);
    for (std::size_t i = 0; i < length_; ++i) {
        for (const LexicalEntry& entry : grammar.lexical_entries(characters[i])) mark(entry.symbol, i, i);
    }
    std::size_t derivable = 0;
    const SymbolId wide = static_cast<SymbolId>(grammar.wide_count());
    for (std::size_t span = 2; span <= length_; ++span) {
        // Splits k of (i, j) lie in i .. j - 1: a left symbol's ends at i hold no
        // bit below i, a right symbol's splits at j none from j on.
        for (std::size_t i = 0, j = span - 1; j < length_; ++i, ++j) {
            const std::size_t first = i >> 6;
            const std::size_t last = (j - 1) >> 6;
            for (SymbolId lhs = 0; lhs < wide; ++lhs) {
                if (span < grammar.min_length(lhs) || span > grammar.max_length(lhs)) continue;
                for (const BinaryRule& rule : grammar.rules_of(lhs)) {
                    const std::uint64_t* left = ends_.data() + slot(rule.left, i);
                    const std::uint64_t* right = splits_.data() + slot(rule.right, j);
                    std::uint64_t meet = 0;
                    for (std::size_t w = first; w <= last && meet == 0; ++w) meet = left[w] & right[w];
                    if (meet != 0) {
                        mark(lhs, i, j);
                        ++derivable;
                        break;
                    }
                }
            }
        }
    }
    return derivable;
}

std::size_t SpanChart::first_split(const BinaryRule& rule, std::size_t i, std::size_t j) const noexcept {
    const std::uint64_t* left = ends_.data() + slot(rule.left, i);
    const std::uint64_t* right = splits_.data() + slot(rule.right, j);
    for (std::size_t w = i >> 6; w <= (j - 1) >> 6; ++w) {
        if (const std::uint64_t meet = left[w] & right[w]; meet != 0) {
            return (w << 6) + static_cast<std::size_t>(std::countr_zero(meet));
        }
    }
    return kNoSplit;
}

}  // namespace engine
