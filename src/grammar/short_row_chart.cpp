#include "short_row_chart.hpp"

#include <algorithm>
#include <bit>

namespace engine {

namespace {

// The clock is read once per this many rows of a timed fill.
constexpr std::size_t kRowsPerClockRead = 8;

}  // namespace

bool ShortRowChart::fits(const PreparedGrammar& grammar, std::size_t length) noexcept {
    if (length > kMaxLength) return false;
    const std::size_t words = (length + 63) / 64;
    const std::size_t mask_words = (grammar.wide_count() + 63) / 64;
    return length * (grammar.wide_count() * words + mask_words) * sizeof(std::uint64_t) <= kMaxBytes;
}

bool ShortRowChart::fill(const PreparedGrammar& grammar, std::span<const std::uint32_t> characters,
                         FillBudget* budget) {
    if (prepared_for_ != &grammar) {
        corners_.assign(grammar.symbol_count(), 0);
        for (SymbolId symbol = 0; symbol < grammar.symbol_count(); ++symbol) {
            const auto corners = grammar.rules_starting_with(symbol);
            if (!corners.empty() && grammar.is_wide(corners.front().right)) corners_[symbol] |= kWideCorners;
            if (!grammar.corners_by_character(symbol).empty()) corners_[symbol] |= kCharacterCorners;
        }
        prepared_for_ = &grammar;
    }
    grammar_ = &grammar;
    characters_ = characters;
    length_ = characters.size();
    words_ = (length_ + 63) / 64;
    wide_ = grammar.wide_count();
    mask_words_ = (wide_ + 63) / 64;
    // Rows are set whole when a symbol first gets an end at a start, so only
    // growth needs initialising.
    if (rows_.size() < length_ * wide_ * words_) rows_.resize(length_ * wide_ * words_);
    if (masks_.size() < length_ * mask_words_) masks_.resize(length_ * mask_words_);
    switch (words_) {
        case 0: return true;
        case 1: return fill_rows<1>(budget);
        case 2: return fill_rows<2>(budget);
        case 3: return fill_rows<3>(budget);
        default: return fill_rows<4>(budget);
    }
}

// Row i, from the last start to the first: once X derives (i, k), each rule
// lhs -> X Y adds to lhs's row i every span (k + 1, j) that Y derives (Y's row
// k + 1, stored by then, or the character there). The ends k are taken in
// increasing order, so each is final when taken: taking one adds only ends beyond it.
template <std::size_t Words>
bool ShortRowChart::fill_rows(FillBudget* budget) {
    const PreparedGrammar& grammar = *grammar_;
    const std::size_t n = length_;
    const std::size_t row_stride = wide_ * Words;
    for (std::size_t i = n; i-- > 0;) {
        if (budget != nullptr && i % kRowsPerClockRead == 0 && budget->over()) return false;
        std::uint64_t* const rows = rows_.data() + i * row_stride;
        std::uint64_t* const mask = masks_.data() + i * mask_words_;
        std::fill_n(mask, mask_words_, 0);
        taking_.clear();
        // The row of `symbol` at i, cleared when the symbol gets its first end here.
        const auto open = [&](SymbolId symbol) {
            std::uint64_t* const row = rows + symbol * Words;
            const std::uint64_t bit = std::uint64_t{1} << (symbol & 63);
            if ((mask[symbol >> 6] & bit) == 0) {
                mask[symbol >> 6] |= bit;
                std::fill_n(row, Words, 0);
                if (corners_[symbol] != 0) taking_.push_back(symbol);
            }
            return row;
        };
        const auto add_end = [&](SymbolId symbol, std::size_t j) {
            open(symbol)[j >> 6] |= std::uint64_t{1} << (j & 63);
        };
        // Every rule lhs -> left Y, once `left` derives (i, k). Rules sharing a
        // wide Y read its row once; those with a one-character Y are found by the
        // character at k + 1.
        const auto apply_rules_from = [&](SymbolId left, std::size_t k) {
            const std::size_t next = k + 1;
            const std::uint8_t kinds = corners_[left];
            if ((kinds & kCharacterCorners) != 0) {
                for (const CharacterCorner& corner : grammar.corners_for(left, characters_[next])) {
                    add_end(corner.lhs, next);
                }
            }
            if ((kinds & kWideCorners) == 0) return;
            const std::uint64_t* const next_rows = rows_.data() + next * row_stride;
            const std::uint64_t* const next_mask = masks_.data() + next * mask_words_;
            const auto corners = grammar.rules_starting_with(left);
            // Wide second symbols have the lower ids, so they lead the list.
            for (std::size_t r = 0; r < corners.size() && grammar.is_wide(corners[r].right);) {
                const SymbolId right = corners[r].right;
                const std::size_t group_end = corners[r].group_end;
                if (((next_mask[right >> 6] >> (right & 63)) & 1) != 0) {
                    const std::uint64_t* const ends = next_rows + right * Words;
                    for (; r < group_end; ++r) {
                        std::uint64_t* const target = open(corners[r].lhs);
                        for (std::size_t w = 0; w < Words; ++w) target[w] |= ends[w];
                    }
                }
                r = group_end;
            }
        };

        const auto singles = grammar.lexical_entries(characters_[i]);
        for (const LexicalEntry& entry : singles) {
            if (grammar.is_wide(entry.symbol)) add_end(entry.symbol, i);
        }
        if (i + 1 == n) continue;
        // Left parts of one character: the symbols deriving the character at i.
        for (const LexicalEntry& entry : singles) apply_rules_from(entry.symbol, i);
        // Longer left parts (i, k), i < k < n - 1, from the ends of the open row.
        const std::size_t last = n - 2;
        for (std::size_t w = i >> 6; w <= last >> 6; ++w) {
            std::uint64_t untaken = ~std::uint64_t{0};
            if (w == i >> 6) untaken &= ~std::uint64_t{0} << (i & 63) << 1;
            if (w == last >> 6) untaken &= ~std::uint64_t{0} >> (63 - (last & 63));
            for (;;) {
                std::uint64_t ends = 0;
                for (const SymbolId symbol : taking_) ends |= rows[symbol * Words + w];
                ends &= untaken;
                if (ends == 0) break;
                const std::uint64_t lowest = ends & (~ends + 1);
                untaken &= ~lowest;
                const std::size_t k = (w << 6) + static_cast<std::size_t>(std::countr_zero(ends));
                // Symbols joining while k is taken get only ends beyond k.
                for (std::size_t t = 0; t < taking_.size(); ++t) {
                    const SymbolId symbol = taking_[t];
                    if ((rows[symbol * Words + w] & lowest) != 0) apply_rules_from(symbol, k);
                }
            }
        }
    }
    return true;
}

bool ShortRowChart::derives(SymbolId symbol, std::size_t i, std::size_t j) const noexcept {
    if (i == j) {
        for (const LexicalEntry& entry : grammar_->lexical_entries(characters_[i])) {
            if (entry.symbol == symbol) return true;
        }
        return false;
    }
    return grammar_->is_wide(symbol) && holds(i, symbol) && ((row(i, symbol)[j >> 6] >> (j & 63)) & 1) != 0;
}

std::size_t ShortRowChart::first_split(const BinaryRule& rule, std::size_t i, std::size_t j) const noexcept {
    const PreparedGrammar& grammar = *grammar_;
    if (!grammar.is_wide(rule.left)) return derives(rule.left, i, i) && derives(rule.right, i + 1, j) ? i : kNoSplit;
    if (!holds(i, rule.left)) return kNoSplit;
    if (!grammar.is_wide(rule.right)) {
        return derives(rule.right, j, j) && derives(rule.left, i, j - 1) ? j - 1 : kNoSplit;
    }
    // The left part's ends at i, below j, in increasing order (none lie before i).
    const std::uint64_t* const ends = row(i, rule.left);
    const std::size_t last = j - 1;
    for (std::size_t w = i >> 6; w <= last >> 6; ++w) {
        std::uint64_t bits = ends[w];
        if (w == last >> 6) bits &= ~std::uint64_t{0} >> (63 - (last & 63));
        for (; bits != 0; bits &= bits - 1) {
            const std::size_t k = (w << 6) + static_cast<std::size_t>(std::countr_zero(bits));
            if (holds(k + 1, rule.right) && ((row(k + 1, rule.right)[j >> 6] >> (j & 63)) & 1) != 0) return k;
        }
    }
    return kNoSplit;
}

}  // namespace engine
