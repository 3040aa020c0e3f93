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

void SpanChart::fill(const PreparedGrammar& grammar, std::span<const std::uint32_t> characters) {
    length_ = characters.size();
    words_ = (length_ + 63) / 64;
    symbols_ = grammar.symbol_count();
    const std::size_t size = symbols_ * length_ * words_;
    ends_.assign(size, 0);
    splits_.assign(size, 0);
    for (std::size_t i = 0; i < length_; ++i) {
        for (const LexicalEntry& entry : grammar.lexical_entries(characters[i])) mark(entry.symbol, i, i);
    }
    if (heads_for_ != &grammar) {
        heads_.clear();
        for (SymbolId lhs = 0; lhs < grammar.wide_count(); ++lhs) {
            const auto rules = grammar.rules_of(lhs);
            // A symbol without binary rules is given bounds no span meets.
            const auto bound = [](std::size_t length) {
                return static_cast<std::uint32_t>(std::min<std::size_t>(length, 0xFFFFFFFFu));
            };
            heads_.push_back(rules.empty() ? Head{0, 0, 0xFFFFFFFFu, 0, 0}
                                           : Head{rules.front().left, rules.front().right,
                                                  bound(grammar.min_length(lhs)), bound(grammar.max_length(lhs)),
                                                  rules.size() > 1 ? 1u : 0u});
        }
        heads_for_ = &grammar;
    }
    switch (words_) {
        case 1: fill_spans<1>(grammar); break;
        case 2: fill_spans<2>(grammar); break;
        case 3: fill_spans<3>(grammar); break;
        default: fill_spans<4>(grammar); break;
    }
}

// Spans by increasing length. Splits k of (i, j) lie in i .. j - 1: a left
// symbol's ends at i hold no bit below i, and a right symbol's splits at j hold
// none from j on nor, while spans of this length are being decided, any below i
// (those are splits of longer spans): the words may be combined whole.
template <std::size_t Words>
void SpanChart::fill_spans(const PreparedGrammar& grammar) {
    const std::size_t stride = symbols_ * Words;
    const std::size_t wide = heads_.size();
    pending_.resize(wide);
    const auto meet = [](const std::uint64_t* ends_at_i, const std::uint64_t* splits_at_j, SymbolId left,
                         SymbolId right) {
        const std::uint64_t* left_row = ends_at_i + left * Words;
        const std::uint64_t* right_row = splits_at_j + right * Words;
        std::uint64_t both = 0;
        for (std::size_t w = 0; w < Words; ++w) both |= left_row[w] & right_row[w];
        return both;
    };
    for (std::size_t span = 2; span <= length_; ++span) {
        for (std::size_t i = 0, j = span - 1; j < length_; ++i, ++j) {
            std::uint64_t* const ends_at_i = ends_.data() + i * stride;
            std::uint64_t* const splits_at_j = splits_.data() + j * stride;
            // Marks made here fall outside the splits of (i, j): bit j of an end
            // row, bit i - 1 of a split row.
            const std::size_t end_word = j >> 6;
            const std::uint64_t end_bit = std::uint64_t{1} << (j & 63);
            const std::size_t split_word = i > 0 ? (i - 1) >> 6 : 0;
            const std::uint64_t split_bit = i > 0 ? std::uint64_t{1} << ((i - 1) & 63) : 0;
            // First each symbol's first rule, without a branch on the outcome (most
            // symbols are settled by it); then the rest for those still open.
            std::size_t pending = 0;
            for (SymbolId lhs = 0; lhs < wide; ++lhs) {
                const Head& head = heads_[lhs];
                if (span < head.shortest || span > head.longest) continue;
                const std::uint64_t found = meet(ends_at_i, splits_at_j, head.left, head.right) != 0;
                ends_at_i[lhs * Words + end_word] |= end_bit * found;
                splits_at_j[lhs * Words + split_word] |= split_bit * found;
                pending_[pending] = lhs;
                pending += (found == 0) & head.more;
            }
            for (std::size_t p = 0; p < pending; ++p) {
                const SymbolId lhs = pending_[p];
                for (const BinaryRule& rule : grammar.rules_of(lhs).subspan(1)) {
                    if (meet(ends_at_i, splits_at_j, rule.left, rule.right) != 0) {
                        ends_at_i[lhs * Words + end_word] |= end_bit;
                        splits_at_j[lhs * Words + split_word] |= split_bit;
                        break;
                    }
                }
            }
        }
    }
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
