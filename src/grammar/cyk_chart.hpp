// cyk_chart.hpp — the bit-parallel CYK chart: per start position, a bit row of span
// ends for each wide symbol that derives anything there, stored only where it is set.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine_assert.hpp"
#include "fill_counters.hpp"
#include "prepared_grammar.hpp"

namespace engine {

inline constexpr std::size_t kNoSplit = static_cast<std::size_t>(-1);

// Rows are built one start at a time, from the last start to the first. While row i
// is open, every wide symbol has a scratch row of n bits (bit j: the symbol derives
// span (i, j)); finishing the row stores, for each symbol that derives anything from
// i, the words from its first to its last set word, and clears the scratch. Memory
// thus grows with what is derivable. Single positions are kept in one bitset per
// symbol, wide or not; a wide symbol's row also holds its single position.
class CykChart {
public:
    // Sizes and clears the chart for the characters (ids of `grammar`), keeping
    // earlier memory; both must outlive the chart's use. When the grammar has no
    // prediction sets every symbol may end anywhere.
    // Throws std::bad_alloc when even the empty chart would not fit in memory.
    void reset(const PreparedGrammar& grammar, std::span<const std::uint32_t> characters);
    // Whether the fill works out, position by position, what may end there.
    bool predicts() const noexcept { return predicted_words_ > 0; }

    std::size_t length() const noexcept { return length_; }

    // ---- Single positions: the terminal rules of the character there.
    bool derives_single(SymbolId symbol, std::size_t position) const noexcept {
        ENGINE_ASSERT(position < length_ && symbol < symbol_count_);
        for (const LexicalEntry& entry : grammar_->lexical_entries(characters_[position])) {
            if (entry.symbol == symbol) return true;
        }
        return false;
    }

    // ---- The open row: row i while it is being filled; rows after i are stored.
    void open_row(std::size_t i) noexcept {
        ENGINE_ASSERT(open_symbols_.empty() && i + 1 == stored_from_);
        open_start_ = i;
    }
    std::size_t open_start() const noexcept { return open_start_; }

    // ---- Prediction: the symbols that can end at a position in a parse of the
    // whole string, given what follows it. Only spans (i, j) of symbols predicted
    // at j are kept; every span of every parse of the whole string is.
    // Sets the symbols predicted at `j` (a bit set of grammar.symbol_words() words);
    // j from the last position down, each before row j is opened.
    void set_predicted(std::size_t j, std::span<const std::uint64_t> symbols) noexcept;
    bool predicted(SymbolId symbol, std::size_t j) const noexcept {
        if (predicted_words_ == 0) return true;
        ENGINE_ASSERT(j < length_ && j >= predicted_from_);
        return (predicted_[j * predicted_words_ + (symbol >> 6)] & bit(symbol)) != 0;
    }
    std::span<const std::uint64_t> predicted_at(std::size_t j) const noexcept {
        ENGINE_ASSERT(j < length_ && j >= predicted_from_);
        return {predicted_.data() + j * predicted_words_, predicted_words_};
    }
    // Bit j: wide `symbol` is predicted at j.
    std::uint64_t allowed_word(SymbolId symbol, std::size_t w) const noexcept { return allowed_[symbol * words_ + w]; }

    // Marks that wide `symbol` derives span (open start, j), if it is predicted at j.
    void add_end(SymbolId symbol, std::size_t j) noexcept {
        ENGINE_ASSERT(symbol < wide_count_ && j >= open_start_ && j < length_);
        if ((allowed_[symbol * words_ + (j >> 6)] & bit(j)) == 0) return;
        scratch(symbol)[j >> 6] |= bit(j);
        grow_open_end(symbol, (j >> 6) + 1);
    }

    // A stored row: words first_word .. end_word - 1 of the row (absolute word
    // numbers), the first and last of them nonzero. Words before full_word are in
    // the pool from `offset`; the words from full_word on hold every end the
    // symbol is predicted at and are not stored.
    struct StoredRow {
        std::size_t offset;
        std::uint32_t first_word;
        std::uint32_t end_word;
        std::uint32_t full_word;
        SymbolId symbol;
        std::uint32_t start;  // the start, when the chart is small enough to index directly
    };

    // Row i of wide `symbol`, i after the open start, or null when the symbol
    // derives nothing from i. A stored row's symbols are found through a bit mask
    // of them and the rank of their bit.
    const StoredRow* stored_row(SymbolId symbol, std::size_t i) const noexcept {
        ENGINE_ASSERT(i < length_ && i >= stored_from_ && symbol < wide_count_);
        if (direct_index_) {
            // Entries are never cleared: one is valid when it names this row.
            const std::uint32_t index = row_index_[i * wide_count_ + symbol];
            if (index >= stored_.size()) return nullptr;
            const StoredRow& row = stored_[index];
            return row.symbol == symbol && row.start == i ? &row : nullptr;
        }
        return stored_row_by_mask(symbol, i);
    }

    // Whether wide `lhs`'s open row can still gain an end from position `next` on.
    bool can_grow_from(SymbolId lhs, std::size_t next) const noexcept { return full_from(lhs) > (next >> 6); }

    // For a rule lhs -> X Y whose X derives (open start, k) and whose Y's row k + 1
    // is `source`: every span (k + 1, j) that Y derives makes wide `lhs` derive
    // (open start, j).
    void extend_row(SymbolId lhs, const StoredRow& source) noexcept {
        ENGINE_ASSERT(lhs < wide_count_ && source.first_word >= (open_start_ >> 6) && source.end_word <= words_);
        const std::uint64_t* words = stored_words(source);
        std::uint64_t* target = scratch(lhs);
        const std::uint64_t* allowed = allowed_.data() + lhs * words_;
        // Words from `full` on already hold every end they can: skip them.
        std::size_t full = full_from(lhs);
        const std::size_t stop = source.end_word < full ? source.end_word : full;
        const std::size_t stored_stop = source.full_word < stop ? source.full_word : stop;
        std::uint64_t added = 0;
        for (std::size_t w = source.first_word; w < stored_stop; ++w) {
            const std::uint64_t ends = words[w] & allowed[w];
            target[w] |= ends;
            added |= ends;
        }
        if (stored_stop < stop) {
            const std::uint64_t* source_allowed = allowed_.data() + source.symbol * words_;
            for (std::size_t w = stored_stop; w < stop; ++w) {
                const std::uint64_t ends = full_word(w) & source_allowed[w] & allowed[w];
                target[w] |= ends;
                added |= ends;
            }
        }
        ENGINE_COUNT(row_or_words, stop > source.first_word ? stop - source.first_word : 0);
        if (added == 0) return;
        grow_open_end(lhs, stop);  // the row is open now: finish_row clears its full mark
        if (stop == full) {
            while (full > (open_start_ >> 6) && target[full - 1] == (full_word(full - 1) & allowed[full - 1])) --full;
            full_from_[lhs] = full;
        }
    }

    // Word w of `symbol`'s open row (wide symbols only).
    std::uint64_t open_word(SymbolId symbol, std::size_t w) const noexcept {
        ENGINE_ASSERT(symbol < wide_count_ && w < words_);
        return scratch_[symbol * words_ + w];
    }
    // One past the last word of `symbol`'s open row that may hold an end; 0 when empty.
    std::size_t open_end(SymbolId symbol) const noexcept { return open_end_[symbol]; }
    // Words of the open row from this one on hold every end they can: nothing more
    // can be added there.
    std::size_t full_from(SymbolId symbol) const noexcept { return full_from_[symbol]; }
    // The wide symbols holding anything in the open row, in the order they got it.
    std::span<const SymbolId> open_symbols() const noexcept { return open_symbols_; }

    // The wide symbols of stored row i, as a bit set of mask_words() words.
    std::span<const std::uint64_t> row_symbols(std::size_t i) const noexcept {
        ENGINE_ASSERT(i < length_ && i >= stored_from_);
        return {row_masks_.data() + i * mask_words_, mask_words_};
    }
    // Word w of a stored row, first_word <= w < end_word.
    std::uint64_t stored_word(const StoredRow& row, std::size_t w) const noexcept {
        ENGINE_ASSERT(w >= row.first_word && w < row.end_word);
        if (w < row.full_word) return pool_[row.offset + (w - row.first_word)];
        return full_word(w) & allowed_[row.symbol * words_ + w];
    }

    // Stores the open row and clears its scratch. Throws std::bad_alloc when the
    // stored rows outgrow memory, or are set to outgrow it at the rate so far.
    void finish_row();

    // ---- Reading stored rows.
    bool derives(const PreparedGrammar& grammar, SymbolId symbol, std::size_t i, std::size_t j) const noexcept {
        ENGINE_ASSERT(i <= j && j < length_);
        if (i == j) return derives_single(symbol, i);
        if (!grammar.is_wide(symbol)) return false;
        const StoredRow* row = stored_row(symbol, i);
        const std::size_t w = j >> 6;
        return row != nullptr && w >= row->first_word && w < row->end_word && (stored_word(*row, w) & bit(j)) != 0;
    }

    // The smallest split k (left part (i, k), right part (k + 1, j)) at which `rule`
    // applies to span (i, j), i < j, or kNoSplit. Reads stored rows only.
    std::size_t first_split(const PreparedGrammar& grammar, const BinaryRule& rule, std::size_t i,
                            std::size_t j) const noexcept;

    // Bytes held by the stored rows and by the per-call tables.
    std::size_t bytes_held() const noexcept;

private:
    static std::uint64_t bit(std::size_t index) noexcept { return std::uint64_t{1} << (index & 63); }
    // Set bits of a word, inline on any target.
    static std::size_t bit_count(std::uint64_t x) noexcept {
        x = x - ((x >> 1) & 0x5555555555555555ull);
        x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
        x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
        return static_cast<std::size_t>((x * 0x0101010101010101ull) >> 56);
    }

    std::uint64_t* scratch(SymbolId symbol) noexcept { return scratch_.data() + symbol * words_; }

    void grow_open_end(SymbolId symbol, std::size_t end) noexcept {
        if (open_end_[symbol] == 0) open_symbols_.push_back(symbol);
        if (open_end_[symbol] < end) open_end_[symbol] = end;
    }

    // A word of a row with every valid end set.
    std::uint64_t full_word(std::size_t w) const noexcept { return w + 1 < words_ ? ~std::uint64_t{0} : last_word_; }

    // Large charts find a stored row through the row's bit mask of symbols and
    // the rank of the symbol's bit.
    [[gnu::noinline]] const StoredRow* stored_row_by_mask(SymbolId symbol, std::size_t i) const noexcept {
        const std::size_t slot = i * mask_words_ + (symbol >> 6);
        const std::uint64_t mask = row_masks_[slot];
        if ((mask & bit(symbol)) == 0) return nullptr;
        const std::size_t index = row_first_[i] + mask_ranks_[slot] + bit_count(mask & (bit(symbol) - 1));
        ENGINE_ASSERT(index < stored_.size());
        return &stored_[index];
    }

    // Indexed by absolute word number: only first_word .. full_word - 1 may be read.
    const std::uint64_t* stored_words(const StoredRow& row) const noexcept {
        return pool_.data() + row.offset - row.first_word;
    }

    std::size_t length_ = 0;
    std::size_t words_ = 0;
    std::size_t symbol_count_ = 0;
    std::size_t wide_count_ = 0;
    std::size_t mask_words_ = 0;
    std::size_t memory_limit_words_ = 0;
    std::size_t open_start_ = 0;
    std::size_t stored_from_ = 0;     // rows from this start on are stored
    std::size_t predicted_from_ = 0;  // predictions from this end on are set

    const PreparedGrammar* grammar_ = nullptr;
    std::span<const std::uint32_t> characters_;
    // Scratch rows and open ends are left cleared by finish_row.
    std::vector<std::uint64_t> scratch_;    // wide_count * words: the open row
    std::size_t predicted_words_ = 0;       // 0: no prediction, every symbol everywhere
    std::vector<std::uint64_t> predicted_;  // length * predicted_words: symbols per end
    std::vector<std::uint64_t> allowed_;    // wide_count * words: ends per wide symbol
    std::vector<std::size_t> open_end_;     // per wide symbol
    std::vector<std::size_t> full_from_;    // per wide symbol; words_ when nothing is full
    std::vector<SymbolId> open_symbols_;

    // Small charts find a stored row by a table of one entry per start and symbol.
    bool direct_index_ = false;
    std::vector<std::uint32_t> row_index_;  // length * wide_count, when direct_index_
    std::uint64_t last_word_ = 0;           // the valid ends of a row's last word

    std::vector<std::uint64_t> row_masks_;  // length * mask_words: symbols of each stored row
    std::vector<std::uint32_t> mask_ranks_;  // set bits in the earlier mask words of the row
    std::vector<std::size_t> row_first_;    // per start: its first entry in stored_
    std::vector<StoredRow> stored_;         // ordered by start, then symbol
    std::vector<std::uint64_t> pool_;       // the stored words
};

// The most bytes one chart may take: half of the machine's physical memory.
std::size_t chart_memory_limit() noexcept;

// What a chart may cost before it is filled: the most bytes its stored rows could
// take (every wide symbol deriving every span within its length bounds, a bound
// rarely approached) and the per-call tables, and a rough time in seconds from the
// words a full fill would combine. Cheap: no string is looked at beyond its length.
struct ChartEstimate {
    double table_bytes = 0;       // taken whatever the string
    double worst_row_bytes = 0;   // the stored rows when every span is derivable
    double worst_seconds = 0;     // the fill's time when every span is derivable
};
ChartEstimate estimate_chart(const PreparedGrammar& grammar, std::size_t length) noexcept;

}  // namespace engine
