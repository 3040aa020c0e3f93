// Placeholder until the chart parser lands: never parses.
#include "cyk_parser.hpp"

namespace engine {
class PreparedGrammar {};
class CykChart {};
CykParser::CykParser(std::span<const TaggedRule>, std::string_view) {}
CykParser::~CykParser() = default;
CykParser::CykParser(CykParser&&) noexcept = default;
CykParser& CykParser::operator=(CykParser&&) noexcept = default;
bool CykParser::parse(std::string_view, std::vector<std::int32_t>& tags) { tags.clear(); return false; }
std::optional<std::vector<std::int32_t>> CykParser::parse(std::string_view) { return std::nullopt; }
std::optional<std::vector<std::int32_t>> parse_cnf(std::string_view, std::span<const TaggedRule>, std::string_view) { return std::nullopt; }
}  // namespace engine
