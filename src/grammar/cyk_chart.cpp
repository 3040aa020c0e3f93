#include "cyk_chart.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <unistd.h>

namespace engine {

#ifdef ENGINE_FILL_COUNTERS
FillCounters& fill_counters() noexcept {
    thread_local FillCounters counters;
    return counters;
}
#endif

namespace {

// Rows stored before the growth of the chart is judged: enough for the rate of
// growth to show, few enough to be quick whatever the grammar.
constexpr std::size_t kRowsBeforeProjection = 1024;
// Up to this many (start, symbol) pairs, stored rows are found through a table.
constexpr std::size_t kDirectIndexEntries = std::size_t{1} << 20;

std::size_t mask_words_for(std::size_t wide) noexcept { return (wide + 63) / 64; }

double table_bytes(std::size_t length, std::size_t wide, std::size_t symbols) noexcept {
    const double n = static_cast<double>(length);
    const double words = std::floor((n + 63.0) / 64.0);
    const double mask_words = static_cast<double>(mask_words_for(wide));
    const double symbol_words = std::floor((static_cast<double>(symbols) + 63.0) / 64.0);
    return 8.0 * words * static_cast<double>(symbols + 2 * wide) + n * (12.0 * mask_words + 8.0 * symbol_words + 8.0) +
           24.0 * static_cast<double>(wide);
}

}  // namespace

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

ChartEstimate estimate_chart(const PreparedGrammar& grammar, std::size_t length) noexcept {
    ChartEstimate estimate;
    const double n = static_cast<double>(length);
    estimate.table_bytes = table_bytes(length, grammar.wide_count(), grammar.symbol_count());
    // Every span within a symbol's length bounds derivable: row i of a symbol of
    // longest length m holds min(m, n - i) ends.
    double row_words = 0.0;
    double combined_words = 0.0;
    for (SymbolId symbol = 0; symbol < grammar.wide_count(); ++symbol) {
        const double m = std::min(n, static_cast<double>(std::min(grammar.max_length(symbol), length)));
        // Sum over i of min(m, n - i) / 64, plus a partial word at each end.
        const double ends = m * (n - m) + m * (m + 1.0) / 2.0;
        row_words += ends / 64.0 + 2.0 * n;
        // Each rule of the symbol, at each start, combines a right part's row for
        // every end of its left part: about ends * (m / 3) / 64 words.
        combined_words += static_cast<double>(grammar.rules_of(symbol).size()) * ends * (m / 3.0 + 64.0) / 64.0;
    }
    estimate.worst_row_bytes = 8.0 * row_words + 16.0 * n * static_cast<double>(grammar.wide_count());
    // A combined word costs about a nanosecond with its bookkeeping.
    estimate.worst_seconds = combined_words * 1e-9;
    return estimate;
}

void CykChart::reset(const PreparedGrammar& grammar, std::span<const std::uint32_t> characters) {
    const std::size_t length = characters.size();
    const std::size_t wide = grammar.wide_count();
    const std::size_t symbols = grammar.symbol_count();
    if (table_bytes(length, wide, symbols) > static_cast<double>(chart_memory_limit())) throw std::bad_alloc();
    // Scratch rows left open by a fill that ran out of memory are cleared first.
    for (const SymbolId symbol : open_symbols_) {
        std::fill_n(scratch_.begin() + static_cast<std::ptrdiff_t>(symbol * words_), words_, 0);
        open_end_[symbol] = 0;
    }
    open_symbols_.clear();
    grammar_ = &grammar;
    characters_ = characters;
    length_ = length;
    words_ = (length + 63) / 64;
    symbol_count_ = symbols;
    wide_count_ = wide;
    mask_words_ = mask_words_for(wide);
    memory_limit_words_ = chart_memory_limit() / sizeof(std::uint64_t);
    open_start_ = length;
    stored_from_ = length;
    predicted_from_ = length;

    if (scratch_.size() < wide * words_) scratch_.resize(wide * words_, 0);
    if (open_end_.size() != wide) open_end_.assign(wide, 0);
    full_from_.assign(wide, words_);
    predicted_words_ = grammar.symbol_words();
    if (predicted_words_ > 0) {
        if (predicted_.size() < length * predicted_words_) predicted_.resize(length * predicted_words_);
        allowed_.assign(wide * words_, 0);
    } else {
        allowed_.assign(wide * words_, ~std::uint64_t{0});
    }
    // Row masks, ranks and starts are written whole when each row is stored.
    if (row_masks_.size() < length * mask_words_) {
        row_masks_.resize(length * mask_words_);
        mask_ranks_.resize(length * mask_words_);
    }
    if (row_first_.size() < length) row_first_.resize(length);
    direct_index_ = length * wide <= kDirectIndexEntries;
    if (direct_index_ && row_index_.size() < length * wide) row_index_.resize(length * wide);
    last_word_ = length % 64 == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << (length % 64)) - 1;
    stored_.clear();
    pool_.clear();
}

void CykChart::set_predicted(std::size_t j, std::span<const std::uint64_t> symbols) noexcept {
    ENGINE_ASSERT(symbols.size() == predicted_words_ && j + 1 == stored_from_);
    std::copy(symbols.begin(), symbols.end(), predicted_.begin() + static_cast<std::ptrdiff_t>(j * predicted_words_));
    predicted_from_ = j;
    // Wide symbols have the lowest ids.
    for (std::size_t w = 0; w < predicted_words_ && (w << 6) < wide_count_; ++w) {
        for (std::uint64_t bits = symbols[w]; bits != 0; bits &= bits - 1) {
            const std::size_t symbol = (w << 6) + static_cast<std::size_t>(std::countr_zero(bits));
            if (symbol >= wide_count_) break;
            allowed_[symbol * words_ + (j >> 6)] |= bit(j);
        }
    }
}

void CykChart::finish_row() {
    const std::size_t i = open_start_;
    ENGINE_ASSERT(i + 1 == stored_from_);
    // Stored in symbol order, so that a row's entries follow its mask's bits.
    std::uint64_t* mask = row_masks_.data() + i * mask_words_;
    std::fill_n(mask, mask_words_, 0);
    for (const SymbolId symbol : open_symbols_) mask[symbol >> 6] |= bit(symbol);
    row_first_[i] = stored_.size();
    const std::size_t first_word = i >> 6;
    for (std::size_t m = 0; m < mask_words_; ++m) {
        for (std::uint64_t bits = mask[m]; bits != 0; bits &= bits - 1) {
            const SymbolId symbol = static_cast<SymbolId>((m << 6) + static_cast<std::size_t>(std::countr_zero(bits)));
            std::uint64_t* words = scratch(symbol);
            std::size_t end = open_end_[symbol];
            std::size_t first = first_word;
            while (first < end && words[first] == 0) ++first;
            while (end > first && words[end - 1] == 0) --end;
            ENGINE_COUNT(row_store_words, open_end_[symbol] - first_word);
            if (first < end) {
                // A tail of words holding every predicted end is not stored; the
                // first word may gain predictions before i later, so it always is.
                const std::uint64_t* allowed = allowed_.data() + symbol * words_;
                std::size_t full = end;
                while (full > first + 1 && words[full - 1] == (full_word(full - 1) & allowed[full - 1])) --full;
                if (pool_.size() + (full - first) > memory_limit_words_) throw std::bad_alloc();
                if (direct_index_) row_index_[i * wide_count_ + symbol] = static_cast<std::uint32_t>(stored_.size());
                stored_.push_back(StoredRow{pool_.size(), static_cast<std::uint32_t>(first),
                                            static_cast<std::uint32_t>(end), static_cast<std::uint32_t>(full), symbol,
                                            static_cast<std::uint32_t>(i)});
                pool_.insert(pool_.end(), words + first, words + full);
            } else {
                mask[m] &= ~bit(symbol);  // nothing set after all
            }
            std::fill(words + first_word, words + open_end_[symbol], 0);
            open_end_[symbol] = 0;
            full_from_[symbol] = words_;
        }
    }
    std::uint32_t rank = 0;
    for (std::size_t w = 0; w < mask_words_; ++w) {
        mask_ranks_[i * mask_words_ + w] = rank;
        rank += static_cast<std::uint32_t>(bit_count(mask[w]));
    }
    open_symbols_.clear();
    stored_from_ = i;

    // Rows grow at most linearly with their distance from the end of the string, so
    // the words stored so far, scaled by the square of the share of rows done,
    // bound what the rest will take in all but contrived cases. A chart set to
    // outgrow memory is given up early rather than after minutes of filling.
    const std::size_t done = length_ - i;
    if (done >= kRowsBeforeProjection && i > 0) {
        const double scale = static_cast<double>(length_) / static_cast<double>(done);
        if (static_cast<double>(pool_.size()) * scale * scale > static_cast<double>(memory_limit_words_)) {
            throw std::bad_alloc();
        }
    }
}

std::size_t CykChart::bytes_held() const noexcept {
    return sizeof(std::uint64_t) * (pool_.capacity() + scratch_.capacity() + allowed_.capacity() +
                                    row_masks_.capacity()) +
           sizeof(StoredRow) * stored_.capacity() + sizeof(std::uint32_t) * mask_ranks_.capacity() +
           sizeof(std::size_t) * row_first_.capacity();
}

std::size_t CykChart::first_split(const PreparedGrammar& grammar, const BinaryRule& rule, std::size_t i,
                                  std::size_t j) const noexcept {
    ENGINE_ASSERT(i < j && j < length_);
    // Only splits where each part's length lies within its symbol's bounds.
    std::size_t lo = i + grammar.min_length(rule.left) - 1;
    const std::size_t max_right = grammar.max_length(rule.right);
    if (max_right < j && j - max_right > lo) lo = j - max_right;
    const std::size_t min_right = grammar.min_length(rule.right);
    if (min_right > j) return kNoSplit;
    std::size_t hi = std::min(j - min_right, j - 1);
    const std::size_t max_left = grammar.max_length(rule.left);
    if (max_left <= hi - i) hi = i + max_left - 1;
    if (lo > hi || hi >= j) return kNoSplit;
    if (lo == hi) {
        ENGINE_COUNT(walk_tests, 1);
        return derives(grammar, rule.left, i, lo) && derives(grammar, rule.right, lo + 1, j) ? lo : kNoSplit;
    }
    // The left symbol can derive two or more characters, so it is wide: take the
    // ends of its row i from lo on, in increasing order.
    ENGINE_ASSERT(grammar.is_wide(rule.left));
    const StoredRow* row = stored_row(rule.left, i);
    if (row == nullptr) return kNoSplit;
    const std::size_t first_word = std::max<std::size_t>(lo >> 6, row->first_word);
    const std::size_t last_word = std::min<std::size_t>(hi >> 6, row->end_word - std::size_t{1});
    for (std::size_t w = first_word; w <= last_word; ++w) {
        std::uint64_t ends = stored_word(*row, w);
        if (w == (lo >> 6)) ends &= ~std::uint64_t{0} << (lo & 63);
        if (w == (hi >> 6)) ends &= ~std::uint64_t{0} >> (63 - (hi & 63));
        while (ends) {
            const std::size_t k = (w << 6) + static_cast<std::size_t>(std::countr_zero(ends));
            ends &= ends - 1;
            ENGINE_COUNT(walk_tests, 1);
            if (derives(grammar, rule.right, k + 1, j)) return k;
        }
    }
    return kNoSplit;
}

}  // namespace engine
