#include "derivation_counts.hpp"

#include <algorithm>
#include <functional>

namespace engine {

void DerivationCounts::add(const DerivationCounts& other) {
    if (uses.size() < other.uses.size()) uses.resize(other.uses.size(), 0);
    for (std::size_t i = 0; i < other.uses.size(); ++i) uses[i] += other.uses[i];
    parse_failures += other.parse_failures;
    failed_bytes += other.failed_bytes;
    corpus_bytes += other.corpus_bytes;
}

namespace {

void count_tags(std::span<const std::int32_t> tags, std::uint64_t times, std::span<std::uint64_t> uses) {
    for (const std::int32_t tag : tags) {
        if (tag >= 0 && static_cast<std::size_t>(tag) < uses.size()) uses[static_cast<std::size_t>(tag)] += times;
    }
}

// Strings are taken in blocks of this many; within a block each distinct string is
// parsed once and counted as often as it occurs (real corpora repeat many lines).
// Counts are integer sums, so the grouping does not change them.
constexpr std::size_t kBlockStrings = std::size_t{1} << 17;

// The distinct strings of a block, in first-occurrence order, with how often each
// occurs: an open-addressing table over indexes into `distinct`.
class DistinctStrings {
public:
    struct Entry {
        std::string_view text;
        std::uint64_t occurrences;
    };

    void collect(std::span<const std::string_view> block) {
        distinct_.clear();
        std::size_t capacity = 16;
        while (capacity < 2 * block.size()) capacity <<= 1;
        slots_.assign(capacity, kEmpty);
        const std::size_t mask = capacity - 1;
        for (const std::string_view text : block) {
            std::size_t slot = std::hash<std::string_view>{}(text) & mask;
            for (;; slot = (slot + 1) & mask) {
                if (slots_[slot] == kEmpty) {
                    slots_[slot] = static_cast<std::uint32_t>(distinct_.size());
                    distinct_.push_back({text, 1});
                    break;
                }
                Entry& entry = distinct_[slots_[slot]];
                if (entry.text == text) {
                    ++entry.occurrences;
                    break;
                }
            }
        }
    }

    std::span<const Entry> entries() const noexcept { return distinct_; }

private:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    std::vector<std::uint32_t> slots_;
    std::vector<Entry> distinct_;
};

}  // namespace

DerivationCounts count_derivations(CykParser& parser, std::size_t production_count,
                                   std::span<const std::string_view> corpus,
                                   const StringVisitor& visit) {
    DerivationCounts counts;
    counts.uses.assign(production_count, 0);
    std::vector<std::int32_t> tags;
    DistinctStrings distinct;
    for (std::size_t begin = 0; begin < corpus.size(); begin += kBlockStrings) {
        distinct.collect(corpus.subspan(begin, std::min(kBlockStrings, corpus.size() - begin)));
        for (const auto& [text, occurrences] : distinct.entries()) {
            const bool parsed = parser.parse(text, tags);
            if (parsed) {
                count_tags(tags, occurrences, counts.uses);
            } else {
                counts.parse_failures += occurrences;
                counts.failed_bytes += occurrences * text.size();
            }
            counts.corpus_bytes += occurrences * text.size();
            if (visit && !visit(text, occurrences, parsed)) return counts;
        }
    }
    return counts;
}

}  // namespace engine
