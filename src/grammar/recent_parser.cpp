#include "recent_parser.hpp"

#include <algorithm>

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

bool RecentParser::holds(std::span<const TaggedRule> rules, std::string_view start,
                         std::uint64_t rules_version) const noexcept {
    if (!parser_.has_value() || start != start_) return false;
    if (rules_version != 0 && rules_version == rules_version_) return true;
    return std::ranges::equal(rules, rules_);
}

void RecentParser::clear() noexcept {
    parser_.reset();
    rules_.clear();
    rules_.shrink_to_fit();
    start_.clear();
    rules_version_ = 0;
}

std::optional<std::vector<std::int32_t>> RecentParser::parse(std::string_view text, std::span<const TaggedRule> rules,
                                                             std::string_view start, std::uint64_t rules_version) {
    if (holds(rules, start, rules_version)) {
        rules_version_ = rules_version;
    } else {
        // Strings of one or two characters need no prepared grammar, unless the
        // caller is seen to repeat its list.
        const bool repeated = rules_version != 0 && rules_version == last_version_seen_;
        last_version_seen_ = rules_version;
        if (!repeated && at_most_two_characters(text)) return parse_cnf(text, rules, start);
        clear();
        CykParser parser(rules, start);
        rules_.assign(rules.begin(), rules.end());
        start_.assign(start);
        rules_version_ = rules_version;
        parser_.emplace(std::move(parser));
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
