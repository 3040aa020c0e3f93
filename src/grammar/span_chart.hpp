// span_chart.hpp — the CYK chart of a short string filled span by span: for every
// symbol, bit rows of where its spans end and columns of where they start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cyk_chart.hpp"
#include "prepared_grammar.hpp"

namespace engine {

// Holds every span every symbol derives, with no prediction: suited to grammars
// where most symbols derive most spans, whose left-hand sides are settled by their
// first rules that apply. Each (symbol, span) is decided by trying the symbol's
// rules until one applies, a test of a few words: the left symbol's row at the
// span's start against the right symbol's column at its end.
class SpanChart {
public:
    // Longest string and largest chart this chart takes.
    static constexpr std::size_t kMaxLength = 256;
    static constexpr std::size_t kMaxBytes = std::size_t{8} << 20;

    // Whether a string of `length` characters fits.
    static bool fits(const PreparedGrammar& grammar, std::size_t length) noexcept;

    // Fills the chart for the characters (ids of `grammar`, which must fit). Both
    // must outlive the chart's use.
    void fill(const PreparedGrammar& grammar, std::span<const std::uint32_t> characters);

    bool derives(SymbolId symbol, std::size_t i, std::size_t j) const noexcept {
        return (ends_[slot(symbol, i) + (j >> 6)] >> (j & 63)) & 1;
    }

    // The smallest split k (left part (i, k), right part (k + 1, j)) at which
    // `rule` applies to span (i, j), i < j, or kNoSplit.
    std::size_t first_split(const BinaryRule& rule, std::size_t i, std::size_t j) const noexcept;

    std::size_t bytes_held() const noexcept { return sizeof(std::uint64_t) * (ends_.capacity() + splits_.capacity()); }

private:
    // Position-major: the rows a cell's rules read sit together.
    std::size_t slot(SymbolId symbol, std::size_t position) const noexcept {
        return (position * symbols_ + symbol) * words_;
    }
    void mark(SymbolId symbol, std::size_t i, std::size_t j) noexcept;
    template <std::size_t Words>
    void fill_spans(const PreparedGrammar& grammar);

    std::size_t length_ = 0;
    std::size_t words_ = 0;
    std::size_t symbols_ = 0;
    // ends_[slot(X, i)]: bit j when X derives (i, j). splits_[slot(X, j)]: bit k
    // when X derives (k + 1, j), so that a rule's splits at (i, j) are the bits
    // of its left symbol's ends at i and its right symbol's splits at j.
    std::vector<std::uint64_t> ends_;
    std::vector<std::uint64_t> splits_;
    std::vector<SymbolId> pending_;  // per cell: symbols not settled by their first rule
    // Per wide symbol, what the first pass over a cell reads, side by side.
    struct Head {
        SymbolId left, right;  // its first rule
        std::uint32_t shortest, longest;
        std::uint32_t more;  // 1 when it has more rules
    };
    std::vector<Head> heads_;
    const PreparedGrammar* heads_for_ = nullptr;
};

}  // namespace engine
