// corpus_stats.hpp — character-pair statistics of a training corpus and the terminal
// set made from the alphabet: counting in first-counted order, and ranking by count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "grammar/grammar.hpp"

namespace engine {

// An ordered pair of characters (first, second) packed into one integer: the
// first code point in the high half, the second in the low half.
using PairKey = std::uint64_t;

constexpr PairKey make_pair_key(std::uint32_t first, std::uint32_t second) noexcept {
    return (static_cast<PairKey>(first) << 32) | second;
}
constexpr std::uint32_t pair_first(PairKey key) noexcept { return static_cast<std::uint32_t>(key >> 32); }
constexpr std::uint32_t pair_second(PairKey key) noexcept { return static_cast<std::uint32_t>(key); }

struct PairCount {
    PairKey key = 0;
    std::uint64_t count = 0;

    friend bool operator==(const PairCount&, const PairCount&) = default;
};

// One entry of a ranked list: a counted pair with its count.
using RankedPair = PairCount;

// Counts per character pair. A key is present once it has been counted, and the
// entries keep the order in which their keys were first counted, so every walk
// over them is the same on every run.
class PairCounts {
public:
    // Counts `key` `times` more; a key not counted before goes last.
    void add(PairKey key, std::uint64_t times = 1);
    // Adds every count of `later`, which were counted after these: keys new here
    // go last, in `later`'s order, so merging the counts of consecutive runs of
    // strings in run order gives the counts and the order of the whole run.
    void merge(const PairCounts& later);
    // 0 for a key that was never counted.
    std::uint64_t count_of(PairKey key) const;
    std::span<const PairCount> entries() const noexcept { return entries_; }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }

private:
    std::unordered_map<PairKey, std::size_t> positions_;
    std::vector<PairCount> entries_;
};

struct CorpusStats {
    // (first character, last character) of every string of two or more characters.
    PairCounts boundary_counts;
    // Every pair of adjacent characters, overlapping occurrences counted separately.
    PairCounts bigram_counts;

    // PairCounts::merge of both tables.
    void merge(const CorpusStats& later);
};

// Every alphabet entry once, whole, as a terminal.
TerminalSet prepare_alphabet(std::span<const std::string_view> alphabet);

// Splits each string into code points (an invalid byte is a character of its own).
// Any run of the corpus may be counted on its own and merged in run order.
CorpusStats collect_corpus_stats(std::span<const std::string_view> corpus_train);

// Highest count first; equal counts keep their first-counted order.
std::vector<RankedPair> rank_pairs(const PairCounts& counts);

// The symbol text of one decoded character: its UTF-8 form, or for an invalid
// byte that byte alone, exactly as it stood in the corpus string.
Symbol character_symbol(std::uint32_t code_point);

}  // namespace engine
