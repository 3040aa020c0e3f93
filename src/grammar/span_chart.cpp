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
    symbols_ = grammar.symbol_count();
    const std::size_t size = symbols_ * length_ * words_;
    ends_.assign(size, 0);
    splits_.assign(size, 0);
    for (std::size_t i = 0; i < length_; ++i) {
        for (const LexicalEntry& entry : grammar.lexical_entries(characters[i])) mark(entry.symbol, i, i);
    }
    switch (words_) {
        case 1: return fill_spans<1>(grammar);
        case 2: return fill_spans<2>(grammar);
        case 3: return fill_spans<3>(grammar);
        default: return fill_spans<4>(grammar);
    }
}

// Spans by increasing length. Splits k of (i, j) lie in i .. j - 1: a left
// symbol's ends at i hold no bit below i, and a right symbol's splits at j hold
// none from j on nor, while spans of this length are being decided, any below i
// (those are splits of longer spans): the words may be combined whole.
template <std::size_t Words>
std::size_t SpanChart::fill_spans(const PreparedGrammar& grammar) {
    std::size_t derivable = 0;
    const SymbolId wide = static_cast<SymbolId>(grammar.wide_count());
    const std::size_t stride = symbols_ * Words;
    for (std::size_t span = 2; span <= length_; ++span) {
        for (std::size_t i = 0, j = span - 1; j < length_; ++i, ++j) {
            const std::uint64_t* ends_at_i = ends_.data() + i * stride;
            const std::uint64_t* splits_at_j = splits_.data() + j * stride;
            for (SymbolId lhs = 0; lhs < wide; ++lhs) {
                if (span < grammar.min_length(lhs) || span > grammar.max_length(lhs)) continue;
                for (const BinaryRule& rule : grammar.rules_of(lhs)) {
                    const std::uint64_t* left = ends_at_i + rule.left * Words;
                    const std::uint64_t* right = splits_at_j + rule.right * Words;
                    std::uint64_t meet = 0;
                    for (std::size_t w = 0; w < Words; ++w) meet |= left[w] & right[w];
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
