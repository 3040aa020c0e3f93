#include "corpus_stats.hpp"

#include <algorithm>

#include "grammar/utf8.hpp"

namespace engine {

void PairCounts::add(PairKey key, std::uint64_t times) {
    const auto [found, inserted] = positions_.try_emplace(key, entries_.size());
    if (inserted) {
        entries_.push_back(PairCount{key, times});
    } else {
        entries_[found->second].count += times;
    }
}

void PairCounts::merge(const PairCounts& later) {
    for (const PairCount& entry : later.entries_) add(entry.key, entry.count);
}

void CorpusStats::merge(const CorpusStats& later) {
    boundary_counts.merge(later.boundary_counts);
    bigram_counts.merge(later.bigram_counts);
}

std::uint64_t PairCounts::count_of(PairKey key) const {
    const auto found = positions_.find(key);
    return found == positions_.end() ? 0 : entries_[found->second].count;
}

TerminalSet prepare_alphabet(std::span<const std::string_view> alphabet) {
    TerminalSet terminals;
    for (const std::string_view entry : alphabet) terminals.insert(entry);
    return terminals;
}

CorpusStats collect_corpus_stats(std::span<const std::string_view> corpus_train) {
    CorpusStats stats;
    std::vector<std::uint32_t> chars;
    for (const std::string_view text : corpus_train) {
        utf8::decode(text, chars);
        if (chars.size() < 2) continue;
        stats.boundary_counts.add(make_pair_key(chars.front(), chars.back()));
        for (std::size_t i = 0; i + 1 < chars.size(); ++i) {
            stats.bigram_counts.add(make_pair_key(chars[i], chars[i + 1]));
        }
    }
    return stats;
}

std::vector<RankedPair> rank_pairs(const PairCounts& counts) {
    std::vector<RankedPair> ranked(counts.entries().begin(), counts.entries().end());
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const RankedPair& a, const RankedPair& b) { return a.count > b.count; });
    return ranked;
}

Symbol character_symbol(std::uint32_t code_point) {
    Symbol text;
    if (code_point >= utf8::kInvalidBase) {
        text.push_back(static_cast<char>(code_point - utf8::kInvalidBase));
    } else {
        utf8::append(text, code_point);
    }
    return text;
}

}  // namespace engine
