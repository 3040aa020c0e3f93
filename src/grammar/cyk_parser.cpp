#include "cyk_parser.hpp"

#include <algorithm>
#include <bit>

#include "cyk_chart.hpp"
#include "prepared_grammar.hpp"
#include "utf8.hpp"

namespace engine {
namespace {

void apply_rules_from(const PreparedGrammar& grammar, CykChart& chart, SymbolId left, std::size_t i,
                      std::size_t k) {
    for (const LeftCorner& rule : grammar.rules_starting_with(left)) {
        chart.extend_row(grammar, rule.lhs, i, rule.right, k + 1);
    }
}

// Fills every cell, one start position at a time from the last: once X derives
// (i, k), each rule lhs -> X Y adds to lhs's row i every span (k + 1, j) that Y
// derives. Rows of later starts are final by then, and the ends k of row i are
// taken in increasing order, so every end is final before it is taken; taking
// one only adds ends beyond it.
void fill_chart(const PreparedGrammar& grammar, CykChart& chart, std::vector<SymbolId>& live) {
    const std::size_t n = chart.length();
    const auto left_children = grammar.left_children();
    const auto ends_of = [&](std::span<const SymbolId> symbols, std::size_t i, std::size_t w) {
        std::uint64_t ends = 0;
        for (const SymbolId left : symbols) ends |= chart.ends_from(grammar, left, i, w);
        return ends;
    };
    // A left child whose every rule targets a row already full beyond word w
    // can add nothing from an end in word w.
    const auto collect_live = [&](std::size_t i, std::size_t w) {
        live.clear();
        for (const SymbolId left : grammar.wide_left_children()) {
            for (const LeftCorner& rule : grammar.rules_starting_with(left)) {
                if (chart.full_from(rule.lhs, i) > w) {
                    live.push_back(left);
                    break;
                }
            }
        }
    };
    for (std::size_t i = n; i-- > 0;) {
        if (i + 1 == n) {
            chart.finish_row(grammar, i);
            continue;
        }
        // Left parts of one character: any symbol deriving the character at i.
        for (const SymbolId left : left_children) {
            if (chart.derives(grammar, left, i, i)) apply_rules_from(grammar, chart, left, i, i);
        }
        // Longer left parts (i, k), i < k < n - 1, come from wide symbols only.
        // Ends lie before the furthest row end of the wide left children; taking an
        // end may push that further, so it is read again for every word.
        const auto furthest_end = [&] {
            std::size_t end = 0;
            for (const SymbolId left : grammar.wide_left_children()) end = std::max(end, chart.row_end_of(left, i));
            return end;
        };
        for (std::size_t w = i >> 6; w < furthest_end(); ++w) {
            const std::size_t last = n - 1 - (w << 6);
            std::uint64_t open = last >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << last) - 1;
            if (w == (i >> 6)) open &= ~std::uint64_t{0} << (i & 63) << 1;
            collect_live(i, w);
            std::uint64_t ends = ends_of(live, i, w) & open;
            while (ends) {
                const std::uint64_t lowest = ends & (~ends + 1);
                open &= ~lowest;
                const std::size_t k = (w << 6) + std::countr_zero(ends);
                for (const SymbolId left : live) {
                    if (chart.ends_from(grammar, left, i, w) & lowest) apply_rules_from(grammar, chart, left, i, k);
                }
                ends = ends_of(live, i, w) & open;
            }
        }
        chart.finish_row(grammar, i);
    }
}

std::int32_t single_tag(const PreparedGrammar& grammar, std::uint32_t character, SymbolId symbol) {
    for (const LexicalEntry& entry : grammar.lexical_entries(character)) {
        if (entry.symbol == symbol) return entry.tag;
    }
    return kAuxiliaryTag;  // unreachable: the chart said the symbol derives it
}

}  // namespace

CykParser::CykParser(std::span<const TaggedRule> rules, std::string_view start)
    : grammar_(std::make_unique<const PreparedGrammar>(rules, start)), chart_(std::make_unique<CykChart>()) {}

CykParser::~CykParser() = default;
CykParser::CykParser(CykParser&&) noexcept = default;
CykParser& CykParser::operator=(CykParser&&) noexcept = default;

bool CykParser::parse(std::string_view text, std::vector<std::int32_t>& tags) {
    tags.clear();
    const PreparedGrammar& grammar = *grammar_;
    const SymbolId start = grammar.start();
    if (text.empty() || start == kNoSymbol) return false;

    // Characters become ids; one that no terminal rule derives rules out a parse.
    std::vector<std::uint32_t>& characters = code_points_;
    characters.clear();
    for (std::size_t pos = 0; pos < text.size();) {
        const std::uint32_t character = grammar.character_id(utf8::next_code_point(text, pos));
        if (character == kNoCharacter) return false;
        characters.push_back(character);
    }
    const std::size_t n = characters.size();
    if (n < grammar.min_length(start) || n > grammar.max_length(start)) return false;

    CykChart& chart = *chart_;
    chart.reset(grammar, n);
    for (std::size_t p = 0; p < n; ++p) {
        for (const LexicalEntry& entry : grammar.lexical_entries(characters[p])) {
            chart.set_single(entry.symbol, p, grammar.is_wide(entry.symbol));
        }
    }
    fill_chart(grammar, chart, live_scratch_);
    if (!chart.derives(grammar, start, 0, n - 1)) return false;

    // Read the derivation out in pre-order: at each node the first rule in list
    // order that applies, at its smallest split.
    tags.reserve(2 * n - 1);
    auto& stack = walk_stack_;
    stack.assign(1, PendingNode{0, n - 1, start});
    while (!stack.empty()) {
        const auto node = stack.back();
        stack.pop_back();
        if (node.i == node.j) {
            tags.push_back(single_tag(grammar, characters[node.i], node.symbol));
            continue;
        }
        for (const BinaryRule& rule : grammar.rules_of(node.symbol)) {
            const std::size_t split = chart.first_split(grammar, rule, node.i, node.j);
            if (split == kNoSplit) continue;
            tags.push_back(rule.tag);
            if (!grammar.is_empty_symbol(rule.right)) {
                stack.push_back({split + 1, node.j, rule.right});
                stack.push_back({node.i, split, rule.left});
            }
            break;
        }
    }
    return true;
}

std::optional<std::vector<std::int32_t>> CykParser::parse(std::string_view text) {
    std::vector<std::int32_t> tags;
    if (!parse(text, tags)) return std::nullopt;
    return tags;
}

std::optional<std::vector<std::int32_t>> parse_cnf(std::string_view text, std::span<const TaggedRule> rules,
                                                   std::string_view start) {
    if (text.empty()) return std::nullopt;
    CykParser parser(rules, start);
    return parser.parse(text);
}

}  // namespace engine
