#include "span_chart.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace engine {

namespace {

// The bits of positions a .. b that fall in word w (a and b may lie outside it,
// and a > b gives none).
std::uint64_t range_word(std::ptrdiff_t a, std::ptrdiff_t b, std::size_t w) noexcept {
    const auto base = static_cast<std::ptrdiff_t>(w) * 64;
    const std::ptrdiff_t low = std::max(a, base);
    const std::ptrdiff_t high = std::min(b, base + 63);
    if (low > high) return 0;
    return (~std::uint64_t{0} >> (63 - (high - base))) & (~std::uint64_t{0} << (low - base));
}

template <std::size_t Words>
using Bits = std::array<std::uint64_t, Words>;

// Set bits of a word, without the library call std::popcount makes where the
// build may not assume the instruction.
inline std::size_t bits_set(std::uint64_t word) noexcept {
    word -= (word >> 1) & 0x5555555555555555u;
    word = (word & 0x3333333333333333u) + ((word >> 2) & 0x3333333333333333u);
    word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<std::size_t>((word * 0x0101010101010101u) >> 56);
}

// Span (i, j) marked in one symbol's rows: bit j of its ends at i, bit i - 1 of
// its splits at j (rows of `words` words from `ends` and `splits`).
inline void mark_span(std::uint64_t* ends, std::uint64_t* splits, std::size_t words, std::size_t i,
                      std::size_t j) noexcept {
    ends[i * words + (j >> 6)] |= std::uint64_t{1} << (j & 63);
    if (i > 0) splits[j * words + ((i - 1) >> 6)] |= std::uint64_t{1} << ((i - 1) & 63);
}

// Starts 0 .. last as a set.
template <std::size_t Words>
Bits<Words> starts_up_to(std::size_t last) noexcept {
    Bits<Words> bits{};
    for (std::size_t w = 0; w < Words; ++w) bits[w] = range_word(0, static_cast<std::ptrdiff_t>(last), w);
    return bits;
}

// Relative cost of one rule tried in one cell against one word of one split
// tried for all starts at once, as measured on dense grammars.
constexpr double kCellTestCost = 4.0;
// And of one span written into the rows.
constexpr double kRowCost = 2.0;

}  // namespace

bool SpanChart::fits(const PreparedGrammar& grammar, std::size_t length) noexcept {
    if (length > kMaxLength) return false;
    const std::size_t words = (length + 63) / 64;
    return 3 * grammar.symbol_count() * length * words * sizeof(std::uint64_t) <= kMaxBytes;
}

// The lengths the left part of a rule can have in a span of `length`, by the
// bounds on what its two symbols derive (none when first > last).
SpanChart::PartLengths SpanChart::RuleBounds::left_part(std::size_t length) const noexcept {
    const std::size_t first = std::max<std::size_t>(left_shortest, length > right_longest ? length - right_longest : 1);
    const std::size_t last = std::min<std::size_t>(std::min<std::size_t>(length - 1, left_longest),
                                                   length > right_shortest ? length - right_shortest : 0);
    return {first, last};
}

void SpanChart::prepare(const PreparedGrammar& grammar) {
    heads_.clear();
    rule_bounds_.clear();
    // Lengths past the longest string are all alike.
    const auto bounded = [](std::size_t length) {
        return static_cast<std::uint32_t>(std::min<std::size_t>(length, kMaxLength + 1));
    };
    bounds_change_.assign(kMaxLength + 2, 0);
    bounds_change_[2] = 1;
    for (SymbolId lhs = 0; lhs < grammar.wide_count(); ++lhs) {
        const auto rules = grammar.rules_of(lhs);
        // A symbol without binary rules is given bounds no span meets.
        const Head head = rules.empty() ? Head{0, 0, kMaxLength + 1, 0}
                                        : Head{rules.front().left, rules.front().right,
                                               bounded(grammar.min_length(lhs)), bounded(grammar.max_length(lhs))};
        heads_.push_back(head);
        for (const BinaryRule& rule : rules) {
            rule_bounds_.push_back({std::max<std::uint32_t>(bounded(grammar.min_length(rule.left)), 1),
                                    bounded(grammar.max_length(rule.left)), bounded(grammar.min_length(rule.right)),
                                    bounded(grammar.max_length(rule.right))});
        }
        if (head.shortest <= kMaxLength) bounds_change_[std::max<std::uint32_t>(head.shortest, 2)] = 1;
        if (head.longest < kMaxLength) bounds_change_[head.longest + 1] = 1;
    }
    prepared_for_ = &grammar;
}

void SpanChart::fill(const PreparedGrammar& grammar, std::span<const std::uint32_t> characters) {
    if (prepared_for_ != &grammar) prepare(grammar);
    length_ = characters.size();
    words_ = (length_ + 63) / 64;
    symbols_ = grammar.symbol_count();
    const std::size_t size = symbols_ * length_ * words_;
    starts_.assign(size, 0);
    rows_kept_ = false;
    walk_steps_ = 0;
    spans_held_ = 0;
    full_run_.assign(symbols_, 0);
    derived_.assign(symbols_, 0);
    for (std::size_t i = 0; i < length_; ++i) {
        for (const LexicalEntry& entry : grammar.lexical_entries(characters[i])) {
            starts_of(entry.symbol, 1)[i >> 6] |= std::uint64_t{1} << (i & 63);
            ++derived_[entry.symbol];
        }
    }
    switch (words_) {
        case 0: break;
        case 1: fill_lengths<1>(grammar); break;
        case 2: fill_lengths<2>(grammar); break;
        case 3: fill_lengths<3>(grammar); break;
        default: fill_lengths<4>(grammar); break;
    }
}

// The rows of ends and splits, from the start sets of lengths 1 .. `last` (less
// those a run stands for).
void SpanChart::keep_rows(std::size_t last) {
    const std::size_t size = symbols_ * length_ * words_;
    ends_.assign(size, 0);
    splits_.assign(size, 0);
    for (SymbolId symbol = 0; symbol < symbols_; ++symbol) {
        std::uint64_t* const ends = ends_.data() + slot(symbol, 0);
        std::uint64_t* const splits = splits_.data() + slot(symbol, 0);
        for (std::size_t length = 1; length <= last; ++length) {
            if (full_run_[symbol] != 0 && length >= full_run_[symbol]) break;
            const std::uint64_t* const starts = starts_of(symbol, length);
            for (std::size_t w = 0; w < words_; ++w) {
                for (std::uint64_t bits = starts[w]; bits != 0; bits &= bits - 1) {
                    const std::size_t i = (w << 6) + static_cast<std::size_t>(std::countr_zero(bits));
                    mark_span(ends, splits, words_, i, i + length - 1);
                }
            }
        }
    }
    rows_kept_ = true;
}

// A run of lengths first .. last kept as its bounds, written out.
template <std::size_t Words>
void SpanChart::write_full_run(SymbolId symbol, std::size_t last) {
    const auto n = static_cast<std::ptrdiff_t>(length_);
    const auto first = static_cast<std::ptrdiff_t>(full_run_[symbol]);
    const auto to = static_cast<std::ptrdiff_t>(last);
    write_starts_through<Words>(symbol, last);
    for (std::ptrdiff_t p = 0; rows_kept_ && p < n; ++p) {
        std::uint64_t* const ends = ends_.data() + slot(symbol, static_cast<std::size_t>(p));
        std::uint64_t* const splits = splits_.data() + slot(symbol, static_cast<std::size_t>(p));
        for (std::size_t w = 0; w < Words; ++w) {
            // Spans (p, p + l - 1) and (p - l + 1, p) for l in first .. last.
            ends[w] |= range_word(p + first - 1, std::min(p + to - 1, n - 1), w);
            splits[w] |= range_word(std::max<std::ptrdiff_t>(p - to, 0), p - first, w);
        }
    }
    full_run_[symbol] = 0;
    run_written_[symbol] = 1;
}

// The start sets of a symbol's run, up to `length`, written where still missing.
template <std::size_t Words>
inline void SpanChart::write_starts_through(SymbolId symbol, std::size_t length) {
    if (full_run_[symbol] == 0 || starts_through_[symbol] >= length) return;
    for (std::size_t l = std::max<std::size_t>(starts_through_[symbol] + 1, full_run_[symbol]); l <= length; ++l) {
        const Bits<Words> all = starts_up_to<Words>(length_ - l);
        std::copy(all.begin(), all.end(), starts_of(symbol, l));
    }
    starts_through_[symbol] = static_cast<std::uint32_t>(length);
}

// Sorts the wide symbols for this length: full by some rule (kept as a run, or
// marked span by span once a run of theirs was written), or to be decided.
void SpanChart::classify(std::size_t length) {
    marked_full_.clear();
    deciding_.clear();
    const auto l = static_cast<std::uint32_t>(length);
    for (SymbolId lhs = 0; lhs < heads_.size(); ++lhs) {
        const Head& head = heads_[lhs];
        const bool applies = l >= head.shortest && l <= head.longest;
        if (applies && full_from_[lhs] <= l) {
            if (full_since_[lhs] == kNotFull) {
                full_since_[lhs] = l;
                full_changed_ = true;
            }
            share_[lhs] = 1.0;
            if (full_run_[lhs] != 0) continue;
            if (!run_written_[lhs]) {
                full_run_[lhs] = l;
                starts_through_[lhs] = l - 1;
                continue;
            }
            marked_full_.push_back(lhs);
            continue;
        }
        if (full_run_[lhs] != 0) {
            switch (words_) {
                case 1: write_full_run<1>(lhs, length - 1); break;
                case 2: write_full_run<2>(lhs, length - 1); break;
                case 3: write_full_run<3>(lhs, length - 1); break;
                default: write_full_run<4>(lhs, length - 1); break;
            }
        }
        if (applies) {
            deciding_.push_back(lhs);
        } else {
            share_[lhs] = 0.0;
            if (full_since_[lhs] != kNotFull) {
                full_since_[lhs] = kNotFull;
                full_changed_ = true;
            }
        }
    }
}

void SpanChart::note_outcome(SymbolId symbol, std::size_t length, std::size_t derived) {
    spans_held_ += derived;
    const std::size_t spans = length_ - length + 1;
    share_[symbol] = static_cast<double>(derived) / static_cast<double>(spans);
    if (derived == spans) {
        if (full_since_[symbol] == kNotFull) {
            full_since_[symbol] = static_cast<std::uint32_t>(length);
            full_changed_ = true;
        }
    } else if (full_since_[symbol] != kNotFull) {
        full_since_[symbol] = kNotFull;
        full_changed_ = true;
    }
}

// Deciding a symbol cell by cell costs a test per rule tried in every cell; for all
// starts at once, a few word operations per rule and length its left part can
// have. Symbols that derived every span of the last length are assumed to be
// settled by their first rules.
bool SpanChart::prefers_starts(const PreparedGrammar& grammar, std::size_t length) const {
    if (pass_ != SpanPass::adaptive) return pass_ == SpanPass::by_starts;
    const auto spans = static_cast<double>(length_ - length + 1);
    double by_cells = 0.0;
    double by_starts = 0.0;
    for (const SymbolId lhs : deciding_) {
        const auto rules = grammar.rules_of(lhs);
        const double share = share_[lhs];
        by_cells += spans * (share + (1.0 - share) * static_cast<double>(rules.size()));
        std::size_t steps = 0;
        const RuleBounds* bounds = bounds_of(grammar, lhs);
        const std::size_t tried = share >= 1.0 ? std::min<std::size_t>(rules.size(), 2) : rules.size();
        for (std::size_t r = 0; r < tried; ++r) steps += bounds[r].left_part(length).count();
        by_starts += static_cast<double>(steps * words_);
    }
    // The first length decided cell by cell also turns every span so far into rows.
    const double rows = rows_kept_ ? 0.0 : kRowCost * static_cast<double>(spans_held_);
    return by_starts <= kCellTestCost * by_cells + rows;
}

template <std::size_t Words>
void SpanChart::fill_lengths(const PreparedGrammar& grammar) {
    const std::size_t n = length_;
    const std::size_t wide = heads_.size();
    full_since_.assign(symbols_, kNotFull);
    full_from_.assign(wide, kNotFull);
    run_written_.assign(symbols_, 0);
    starts_through_.assign(symbols_, 1);
    share_.assign(symbols_, 0.0);
    pending_.resize(wide);
    for (SymbolId symbol = 0; symbol < symbols_; ++symbol) {
        if (derived_[symbol] == n) full_since_[symbol] = 1;
        share_[symbol] = static_cast<double>(derived_[symbol]) / static_cast<double>(n);
    }
    full_changed_ = true;
    for (std::size_t length = 2; length <= n; ++length) {
        const bool reclassify = full_changed_ || bounds_change_[length] != 0;
        if (full_changed_) {
            // Full from a + b on: a rule whose left part is full from a, right from b.
            for (SymbolId lhs = 0; lhs < wide; ++lhs) {
                std::uint32_t from = kNotFull;
                for (const BinaryRule& rule : grammar.rules_of(lhs)) {
                    from = std::min(from, full_since_[rule.left] + full_since_[rule.right]);
                }
                full_from_[lhs] = from;
            }
            full_changed_ = false;
        }
        if (reclassify) classify(length);
        if (prefers_starts(grammar, length)) {
            pass_by_starts<Words>(grammar, length);
        } else {
            pass_by_cells<Words>(grammar, length);
        }
        for (const SymbolId lhs : deciding_) note_outcome(lhs, length, derived_[lhs]);
        if (length == 2) {
            // One-character symbols derive no longer span.
            for (SymbolId symbol = static_cast<SymbolId>(wide); symbol < symbols_; ++symbol) {
                if (full_since_[symbol] != kNotFull) {
                    full_since_[symbol] = kNotFull;
                    full_changed_ = true;
                }
            }
        }
    }
}

// Each rule lhs -> B C over all starts at once: B's starts of length l against C's
// starts of length - l moved down by l, for every l the two symbols' lengths allow.
template <std::size_t Words>
void SpanChart::pass_by_starts(const PreparedGrammar& grammar, std::size_t length) {
    const std::size_t n = length_;
    const Bits<Words> valid = starts_up_to<Words>(n - length);
    const std::size_t step = symbols_ * Words;
    for (const SymbolId lhs : marked_full_) {
        std::copy(valid.begin(), valid.end(), starts_of(lhs, length));
        if (!rows_kept_) continue;
        std::uint64_t* const ends = ends_.data() + slot(lhs, 0);
        std::uint64_t* const splits = splits_.data() + slot(lhs, 0);
        for (std::size_t i = 0; i + length <= n; ++i) mark_span(ends, splits, Words, i, i + length - 1);
    }
    if (!deciding_.empty()) {
        for (SymbolId symbol = 0; symbol < heads_.size(); ++symbol) write_starts_through<Words>(symbol, length - 1);
    }
    for (const SymbolId lhs : deciding_) {
        Bits<Words> found{};
        const auto rules = grammar.rules_of(lhs);
        const RuleBounds* bounds = bounds_of(grammar, lhs);
        for (std::size_t r = 0; r < rules.size(); ++r) {
            const BinaryRule& rule = rules[r];
            const PartLengths lengths = bounds[r].left_part(length);
            if (lengths.count() == 0) continue;
            const std::uint64_t* left = starts_of(rule.left, lengths.first);
            const std::uint64_t* right = starts_of(rule.right, length - lengths.first);
            std::size_t l = lengths.first;
            for (const std::size_t within_word = std::min<std::size_t>(lengths.last + 1, 64); l < within_word;
                 ++l, left += step, right -= step) {
                for (std::size_t w = 0; w + 1 < Words; ++w) {
                    found[w] |= left[w] & ((right[w] >> l) | (right[w + 1] << (64 - l)));
                }
                found[Words - 1] |= left[Words - 1] & (right[Words - 1] >> l);
            }
            for (; l <= lengths.last; ++l, left += step, right -= step) {
                const std::size_t skip = l >> 6;
                const std::size_t shift = l & 63;
                for (std::size_t w = 0; w + skip < Words; ++w) {
                    std::uint64_t moved = right[w + skip] >> shift;
                    if (shift != 0 && w + skip + 1 < Words) moved |= right[w + skip + 1] << (64 - shift);
                    found[w] |= left[w] & moved;
                }
            }
            bool all = true;
            for (std::size_t w = 0; w < Words; ++w) all &= (found[w] & valid[w]) == valid[w];
            if (all) break;
        }
        std::uint64_t* const out = starts_of(lhs, length);
        std::uint64_t* const ends = rows_kept_ ? ends_.data() + slot(lhs, 0) : nullptr;
        std::uint64_t* const splits = rows_kept_ ? splits_.data() + slot(lhs, 0) : nullptr;
        std::size_t derived = 0;
        for (std::size_t w = 0; w < Words; ++w) {
            const std::uint64_t starts = found[w] & valid[w];
            out[w] = starts;
            derived += bits_set(starts);
            for (std::uint64_t bits = rows_kept_ ? starts : 0; bits != 0; bits &= bits - 1) {
                const std::size_t i = (w << 6) + static_cast<std::size_t>(std::countr_zero(bits));
                mark_span(ends, splits, Words, i, i + length - 1);
            }
        }
        derived_[lhs] = static_cast<std::uint32_t>(derived);
    }
}

// Splits k of (i, j) lie in i .. j - 1: a left symbol's ends at i hold no bit
// below i, and a right symbol's splits at j hold none from j on nor, while spans
// of this length are being decided, any below i (those are splits of longer
// spans): the words may be combined whole. A symbol's run adds the splits whose
// part has a length of the run.
template <std::size_t Words>
void SpanChart::pass_by_cells(const PreparedGrammar& grammar, std::size_t length) {
    const std::size_t n = length_;
    if (!rows_kept_) keep_rows(length - 1);
    const std::size_t stride = n * Words;  // from a symbol's rows to the next one's
    const Bits<Words> valid = starts_up_to<Words>(n - length);
    for (const SymbolId lhs : marked_full_) std::copy(valid.begin(), valid.end(), starts_of(lhs, length));
    for (const SymbolId lhs : deciding_) derived_[lhs] = 0;
    // Symbols whose first rule reads no run go first: their test needs no masks.
    const auto reads_no_run = [&](SymbolId lhs) {
        return full_run_[heads_[lhs].left] == 0 && full_run_[heads_[lhs].right] == 0;
    };
    const std::size_t plain_heads = static_cast<std::size_t>(
        std::partition(deciding_.begin(), deciding_.end(), reads_no_run) - deciding_.begin());
    for (std::size_t i = 0, j = length - 1; j < n; ++i, ++j) {
        std::uint64_t* const ends_at_i = ends_.data() + i * Words;
        std::uint64_t* const splits_at_j = splits_.data() + j * Words;
        const auto meet = [&](SymbolId left, SymbolId right) {
            const std::uint64_t* const left_row = ends_at_i + left * stride;
            const std::uint64_t* const right_row = splits_at_j + right * stride;
            std::uint64_t both = 0;
            for (std::size_t w = 0; w < Words; ++w) both |= left_row[w] & right_row[w];
            return both;
        };
        const auto meet_runs = [&](SymbolId left, SymbolId right) {
            const std::uint64_t* const left_row = ends_at_i + left * stride;
            const std::uint64_t* const right_row = splits_at_j + right * stride;
            const auto from = static_cast<std::ptrdiff_t>(i);
            const auto to = static_cast<std::ptrdiff_t>(j);
            std::uint64_t both = 0;
            for (std::size_t w = 0; w < Words; ++w) {
                std::uint64_t l = left_row[w];
                std::uint64_t r = right_row[w];
                if (full_run_[left] != 0) l |= range_word(from + full_run_[left] - 1, to - 1, w);
                if (full_run_[right] != 0) r |= range_word(from, to - full_run_[right], w);
                both |= l & r;
            }
            return both;
        };
        const std::size_t end_word = j >> 6;
        const std::uint64_t end_bit = std::uint64_t{1} << (j & 63);
        const std::size_t split_word = i > 0 ? (i - 1) >> 6 : 0;
        const std::uint64_t split_bit = i > 0 ? std::uint64_t{1} << ((i - 1) & 63) : 0;
        const std::size_t start_word = i >> 6;
        const std::uint64_t start_bit = std::uint64_t{1} << (i & 63);
        const auto set = [&](SymbolId lhs, std::uint64_t found) {
            ends_at_i[lhs * stride + end_word] |= end_bit * found;
            splits_at_j[lhs * stride + split_word] |= split_bit * found;
            starts_of(lhs, length)[start_word] |= start_bit * found;
            derived_[lhs] += static_cast<std::uint32_t>(found);
        };
        for (const SymbolId lhs : marked_full_) {
            ends_at_i[lhs * stride + end_word] |= end_bit;
            splits_at_j[lhs * stride + split_word] |= split_bit;
        }
        // First each symbol's first rule, without a branch on the outcome (most
        // symbols are settled by it); then the rest for those still open.
        std::size_t pending = 0;
        for (std::size_t d = 0; d < deciding_.size(); ++d) {
            const SymbolId lhs = deciding_[d];
            const Head& head = heads_[lhs];
            const std::uint64_t found =
                (d < plain_heads ? meet(head.left, head.right) : meet_runs(head.left, head.right)) != 0;
            set(lhs, found);
            pending_[pending] = lhs;
            pending += found == 0;
        }
        for (std::size_t p = 0; p < pending; ++p) {
            const SymbolId lhs = pending_[p];
            for (const BinaryRule& rule : grammar.rules_of(lhs).subspan(1)) {
                const bool runs = full_run_[rule.left] != 0 || full_run_[rule.right] != 0;
                if ((runs ? meet_runs(rule.left, rule.right) : meet(rule.left, rule.right)) != 0) {
                    set(lhs, 1);
                    break;
                }
            }
        }
    }
}

std::size_t SpanChart::first_split(const BinaryRule& rule, std::size_t i, std::size_t j) {
    if (!rows_kept_) {
        // Only left parts of the lengths the two symbols allow. A few splits are
        // looked up in the start sets; a walk that needs many has the rows built once.
        const PartLengths lengths = bounds_of(*prepared_for_, &rule)->left_part(j - i + 1);
        if (walk_steps_ <= symbols_ * length_) {
            for (std::size_t l = lengths.first; l <= lengths.last; ++l) {
                ++walk_steps_;
                if (derives(rule.left, i, i + l - 1) && derives(rule.right, i + l, j)) return i + l - 1;
            }
            return kNoSplit;
        }
        keep_rows(length_);
    }
    const std::uint64_t* left = ends_.data() + slot(rule.left, i);
    const std::uint64_t* right = splits_.data() + slot(rule.right, j);
    const std::uint32_t left_run = full_run_[rule.left];
    const std::uint32_t right_run = full_run_[rule.right];
    const auto from = static_cast<std::ptrdiff_t>(i);
    const auto to = static_cast<std::ptrdiff_t>(j);
    for (std::size_t w = i >> 6; w <= (j - 1) >> 6; ++w) {
        std::uint64_t l = left[w];
        std::uint64_t r = right[w];
        // Runs last to the end of the string once the chart is filled.
        if (left_run != 0) l |= range_word(from + left_run - 1, to - 1, w);
        if (right_run != 0) r |= range_word(from, to - right_run, w);
        if (const std::uint64_t meet = l & r; meet != 0) {
            return (w << 6) + static_cast<std::size_t>(std::countr_zero(meet));
        }
    }
    return kNoSplit;
}

}  // namespace engine
