#include "derivation_counts.hpp"

#include <algorithm>

namespace engine {

void DerivationCounts::add(const DerivationCounts& other) {
    if (uses.size() < other.uses.size()) uses.resize(other.uses.size(), 0);
    for (std::size_t i = 0; i < other.uses.size(); ++i) uses[i] += other.uses[i];
    parse_failures += other.parse_failures;
    failed_bytes += other.failed_bytes;
    corpus_bytes += other.corpus_bytes;
}

namespace {

void count_tags(std::span<const std::int32_t> tags, std::span<std::uint64_t> uses) {
    for (const std::int32_t tag : tags) {
        if (tag >= 0 && static_cast<std::size_t>(tag) < uses.size()) ++uses[static_cast<std::size_t>(tag)];
    }
}

}  // namespace

DerivationCounts count_derivations(CykParser& parser, std::size_t production_count,
                                   std::span<const std::string_view> corpus) {
    DerivationCounts counts;
    counts.uses.assign(production_count, 0);
    std::vector<std::int32_t> tags;
    for (const std::string_view text : corpus) {
        if (parser.parse(text, tags)) {
            count_tags(tags, counts.uses);
        } else {
            ++counts.parse_failures;
            counts.failed_bytes += text.size();
        }
        counts.corpus_bytes += text.size();
    }
    return counts;
}

}  // namespace engine
