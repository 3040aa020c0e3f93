// recent_parser.hpp — one-string parsing that keeps the last rule list's prepared
// parser, so that calls repeating a rule list skip its preparation.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cyk_parser.hpp"
#include "grammar.hpp"

namespace engine {

// Same results as parse_cnf, call for call. The caller names its rule list with
// `rules_version`: the same number for the same list, a new one whenever the list
// changes. The parser prepared for the last version (and start symbol) is kept
// and reused. A chart left larger than a small bound after a parse is let go, so
// that an idle parser holds little memory.
class RecentParser {
public:
    std::optional<std::vector<std::int32_t>> parse(std::string_view text, std::span<const TaggedRule> rules,
                                                   std::string_view start, std::uint64_t rules_version);

private:
    std::uint64_t version_ = 0;            // of the kept parser's rules
    std::uint64_t last_version_seen_ = 0;  // of the last call's rules
    std::string start_;
    std::optional<CykParser> parser_;
};

}  // namespace engine
