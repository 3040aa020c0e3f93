#include "recent_parser.hpp"

#include <cstddef>

#include "utf8.hpp"

namespace engine {
namespace {

// A chart holding more than this after a parse is not kept between calls.
constexpr std::size_t kKeptChartBytes = std::size_t{1} << 20;

bool at_most_two_characters(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < text.size() && count <= 2; ++count) utf8::next_code_point(text, pos);
    return count <= 2;
}

}  // namespace

std::optional<std::vector<std::int32_t>> RecentParser::parse(std::string_view text, std::span<const TaggedRule> rules,
                                                             std::string_view start, std::uint64_t rules_version) {
    if (!parser_.has_value() || rules_version != version_ || start != start_) {
        // Strings of one or two characters need no prepared grammar, unless the
        // caller is seen to repeat its list.
        const bool repeated = rules_version == last_version_seen_;
        last_version_seen_ = rules_version;
        if (!repeated && at_most_two_characters(text)) return parse_cnf(text, rules, start);
        parser_.reset();
        parser_.emplace(rules, start);
        version_ = rules_version;
        start_.assign(start);
    }
    std::optional<std::vector<std::int32_t>> tags;
    try {
        tags = parser_->parse(text);
    } catch (...) {
        parser_->release_chart();
        throw;
    }
    if (parser_->chart_bytes() > kKeptChartBytes) parser_->release_chart();
    return tags;
}

}  // namespace engine
