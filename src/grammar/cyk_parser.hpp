// cyk_parser.hpp — exact CYK parsing of one string against a tagged CNF rule list,
// returning the tags of the derivation the rule order selects, in pre-order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "cyk_chart.hpp"
#include "grammar.hpp"

namespace engine {


// Working symbol sets of the fill's prediction, kept from string to string.
struct PredictionScratch {
    std::vector<std::uint64_t> symbols;
    std::vector<std::uint64_t> at_ends;
};

// Parses many strings against one rule list: the grammar is prepared once and the
// chart's memory is reused from string to string. Positions count code points.
// Throws std::bad_alloc when a string's chart cannot be held in memory.
class CykParser {
public:
    CykParser(std::span<const TaggedRule> rules, std::string_view start);
    ~CykParser();
    CykParser(CykParser&&) noexcept;
    CykParser& operator=(CykParser&&) noexcept;

    // On a parse, replaces `tags` with the derivation's tags and returns true;
    // otherwise returns false and leaves `tags` empty.
    bool parse(std::string_view text, std::vector<std::int32_t>& tags);

    std::optional<std::vector<std::int32_t>> parse(std::string_view text);

    // What a string of `length` characters may cost this parser at the most,
    // before any parsing: see estimate_chart.
    ChartEstimate estimate(std::size_t length) const noexcept;
    // Bytes the chart holds now (after a parse: what that parse kept).
    std::size_t chart_bytes() const noexcept;
    // Lets the chart's memory go; the next parse sizes a new one.
    void release_chart();

private:
    std::unique_ptr<const PreparedGrammar> grammar_;
    std::unique_ptr<CykChart> chart_;
    std::vector<std::uint32_t> code_points_;
    std::vector<std::uint32_t> live_scratch_;
    PredictionScratch prediction_;
    struct PendingNode {
        std::size_t i, j;
        std::uint32_t symbol;
    };
    std::vector<PendingNode> walk_stack_;
};

// The cost bounds of parsing a string of `length` characters with the rule list:
// cheap, for deciding whether to parse at all.
ChartEstimate estimate_parse(std::span<const TaggedRule> rules, std::string_view start, std::size_t length);

// One-shot form: the rule list is prepared for this one string.
std::optional<std::vector<std::int32_t>> parse_cnf(std::string_view text,
                                                   std::span<const TaggedRule> rules,
                                                   std::string_view start);

}  // namespace engine
