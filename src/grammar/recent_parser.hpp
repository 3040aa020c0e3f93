// recent_parser.hpp — one-string parsing that keeps the last rule list's prepared
// parser, so that calls repeating a rule list skip its preparation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cyk_parser.hpp"
#include "grammar.hpp"

namespace engine {

// Same results as parse_cnf, call for call. The rule list and start symbol of the
// last call that prepared a parser are kept with it; a call with an equal list
// and start reuses it. A caller that knows its list is the one it gave last time
// says so with the same nonzero `rules_version`, and the lists are not compared.
// A chart left larger than a small bound after a parse is let go, so that an
// idle cache holds little memory.
class RecentParser {
public:
    std::optional<std::vector<std::int32_t>> parse(std::string_view text, std::span<const TaggedRule> rules,
                                                   std::string_view start, std::uint64_t rules_version = 0);

    // Drops the kept parser and rule list.
    void clear() noexcept;

private:
    bool holds(std::span<const TaggedRule> rules, std::string_view start, std::uint64_t rules_version) const noexcept;

    std::uint64_t rules_version_ = 0;
    std::uint64_t last_version_seen_ = 0;
    std::vector<TaggedRule> rules_;
    std::string start_;
    std::optional<CykParser> parser_;
};

}  // namespace engine
