// span_chart.hpp — the CYK chart of a short string filled length by length: for
// every symbol, bit rows of where its spans end, columns of where they start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cyk_chart.hpp"
#include "prepared_grammar.hpp"

namespace engine {

// How the spans of one length are decided: for all starts at once, or cell by cell;
// adaptive picks, length by length, whichever promises to be cheaper.
enum class SpanPass { adaptive, by_starts, by_cells };

// Holds every span every symbol derives, with no prediction: suited to grammars
// where most symbols derive most spans. A symbol that derives every span of a
// run of lengths is "full" there; a rule whose two parts are full from lengths
// a and b makes its left-hand side full from a + b on with no test at all, and
// such a run is kept as its first length rather than bit by bit.
class SpanChart {
public:
    // Longest string and largest chart this chart takes.
    static constexpr std::size_t kMaxLength = 256;
    static constexpr std::size_t kMaxBytes = std::size_t{12} << 20;

    // Whether a string of `length` characters fits.
    static bool fits(const PreparedGrammar& grammar, std::size_t length) noexcept;

    // Fills the chart for the characters (ids of `grammar`, which must fit and
    // outlive the chart's use).
    void fill(const PreparedGrammar& grammar, std::span<const std::uint32_t> characters);
    void choose_pass(SpanPass pass) noexcept { pass_ = pass; }
    SpanPass pass() const noexcept { return pass_; }

    bool derives(SymbolId symbol, std::size_t i, std::size_t j) const noexcept {
        const std::size_t length = j - i + 1;
        if (full_run_[symbol] != 0 && length >= full_run_[symbol]) return true;
        return (starts_of(symbol, length)[i >> 6] >> (i & 63)) & 1;
    }

    // The smallest split k (left part (i, k), right part (k + 1, j)) at which
    // `rule` (one of the grammar's rules_of) applies to span (i, j), i < j, or kNoSplit.
    std::size_t first_split(const BinaryRule& rule, std::size_t i, std::size_t j);

    std::size_t bytes_held() const noexcept {
        return sizeof(std::uint64_t) * (ends_.capacity() + splits_.capacity() + starts_.capacity());
    }

private:
    // Symbol-major: a symbol's rows at successive positions sit together, as the
    // passes for all starts write them.
    std::size_t slot(SymbolId symbol, std::size_t position) const noexcept {
        return (symbol * length_ + position) * words_;
    }
    // Length-major: the sets the short lengths read sit together.
    std::uint64_t* starts_of(SymbolId symbol, std::size_t length) noexcept {
        return starts_.data() + ((length - 1) * symbols_ + symbol) * words_;
    }
    const std::uint64_t* starts_of(SymbolId symbol, std::size_t length) const noexcept {
        return starts_.data() + ((length - 1) * symbols_ + symbol) * words_;
    }
    void keep_rows(std::size_t last);
    void prepare(const PreparedGrammar& grammar);
    void classify(std::size_t length);
    template <std::size_t Words>
    void fill_lengths(const PreparedGrammar& grammar);
    template <std::size_t Words>
    void pass_by_starts(const PreparedGrammar& grammar, std::size_t length);
    template <std::size_t Words>
    void pass_by_cells(const PreparedGrammar& grammar, std::size_t length);
    template <std::size_t Words>
    void write_full_run(SymbolId symbol, std::size_t last);
    template <std::size_t Words>
    void write_starts_through(SymbolId symbol, std::size_t length);
    bool prefers_starts(const PreparedGrammar& grammar, std::size_t length) const;
    void note_outcome(SymbolId symbol, std::size_t length, std::size_t derived);

    SpanPass pass_ = SpanPass::adaptive;
    std::size_t length_ = 0;
    std::size_t words_ = 0;
    std::size_t symbols_ = 0;
    // starts_of(X, l): bit i when X derives (i, i + l - 1). Once a length is decided
    // cell by cell, or a walk needs many splits, also rows: ends_[slot(X, i)]: bit
    // j when X derives (i, j); splits_[slot(X, j)]: bit k when X derives (k + 1, j),
    // so that a rule's splits at (i, j) are the bits of its left symbol's ends at i
    // and its right symbol's splits at j.
    std::vector<std::uint64_t> starts_;
    std::vector<std::uint64_t> ends_;
    std::vector<std::uint64_t> splits_;
    bool rows_kept_ = false;
    std::size_t walk_steps_ = 0;  // splits the walk looked up in the start sets
    std::size_t spans_held_ = 0;  // spans decided by a test so far

    // Per wide symbol, what the cell pass reads first, side by side.
    struct Head {
        SymbolId left, right;  // its first rule
        std::uint32_t shortest, longest;
    };
    std::vector<Head> heads_;
    // Per binary rule, in the grammar's order: the lengths its two symbols derive
    // (capped past the longest string).
    struct PartLengths {
        std::size_t first, last;
        std::size_t count() const noexcept { return first <= last ? last - first + 1 : 0; }
    };
    struct RuleBounds {
        std::uint32_t left_shortest, left_longest, right_shortest, right_longest;
        PartLengths left_part(std::size_t length) const noexcept;
    };
    std::vector<RuleBounds> rule_bounds_;
    // The bounds of `rule` and of the rules after it, `rule` being one of the
    // grammar's rules_of.
    const RuleBounds* bounds_of(const PreparedGrammar& grammar, const BinaryRule* rule) const noexcept {
        return rule_bounds_.data() + (rule - grammar.rules_of(0).data());
    }
    const RuleBounds* bounds_of(const PreparedGrammar& grammar, SymbolId lhs) const noexcept {
        return bounds_of(grammar, grammar.rules_of(lhs).data());
    }
    std::vector<char> bounds_change_;  // per length: some symbol starts or stops applying
    const PreparedGrammar* prepared_for_ = nullptr;

    // Per symbol, during a fill. kNotFull: not full at the last length decided.
    static constexpr std::uint32_t kNotFull = 1u << 24;
    std::vector<std::uint32_t> full_since_;  // full at every length from this one to the last decided
    std::vector<std::uint32_t> full_from_;   // wide symbols: full from this length on, by some rule
    std::vector<std::uint32_t> full_run_;    // first length of a run not written to the rows, or 0
    std::vector<char> run_written_;          // a run was written; later ones are marked as they come
    std::vector<std::uint32_t> starts_through_;  // starts_of rows written up to this length
    std::vector<double> share_;              // of the previous length's spans it derived
    bool full_changed_ = true;
    // Of the current length: full symbols marked span by span, and those to decide.
    std::vector<SymbolId> marked_full_;
    std::vector<SymbolId> deciding_;
    std::vector<SymbolId> pending_;
    std::vector<std::uint32_t> derived_;  // per symbol: spans of the current length derived
};

}  // namespace engine
