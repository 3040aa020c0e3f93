#include "cyk_parser.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "cyk_chart.hpp"
#include "prepared_grammar.hpp"
#include "utf8.hpp"

namespace engine {
namespace {

// Every rule lhs -> left Y, once `left` derives (i, k): lhs gets each span
// (k + 1, j) that Y derives. Rules sharing Y look its row up once.
void apply_rules_from(const PreparedGrammar& grammar, CykChart& chart, SymbolId left, std::size_t k) {
    const auto corners = grammar.rules_starting_with(left);
    const std::size_t next = k + 1;
    for (std::size_t r = 0; r < corners.size();) {
        const SymbolId right = corners[r].right;
        std::size_t group_end = r + 1;
        while (group_end < corners.size() && corners[group_end].right == right) ++group_end;
        if (!grammar.is_wide(right)) {
            ENGINE_COUNT(single_checks, 1);
            if (chart.derives_single(right, next)) {
                for (; r < group_end; ++r) chart.add_end(corners[r].lhs, next);
            }
        } else if (const CykChart::StoredRow* row = chart.stored_row(right, next)) {
            for (; r < group_end; ++r) chart.extend_row(corners[r].lhs, *row);
        }
        r = group_end;
    }
}

// Fills the chart one start position at a time from the last: once X derives
// (i, k), each rule lhs -> X Y adds to lhs's row i every span (k + 1, j) that Y
// derives. Rows of later starts are stored by then, and the ends k of row i are
// taken in increasing order, so every end is final before it is taken; taking
// one only adds ends beyond it. Only symbols that derive something from i are
// visited.
void fill_chart(const PreparedGrammar& grammar, CykChart& chart, std::span<const std::uint32_t> characters,
                std::vector<SymbolId>& live) {
    const std::size_t n = chart.length();
    // A left child whose every rule targets a row already full beyond word w
    // can add nothing from an end in word w.
    const auto collect_live = [&](std::size_t w) {
        live.clear();
        for (const SymbolId left : chart.open_symbols()) {
            for (const LeftCorner& rule : grammar.rules_starting_with(left)) {
                if (chart.full_from(rule.lhs) > w) {
                    live.push_back(left);
                    break;
                }
            }
        }
    };
    const auto ends_of_live = [&](std::size_t w) {
        std::uint64_t ends = 0;
        for (const SymbolId left : live) ends |= chart.open_word(left, w);
        ENGINE_COUNT(end_scan_words, live.size());
        return ends;
    };
    // Ends lie before the furthest end of the open rows; taking an end may push
    // it further, so it is read again for every word.
    const auto furthest_end = [&] {
        std::size_t end = 0;
        for (const SymbolId symbol : chart.open_symbols()) end = std::max(end, chart.open_end(symbol));
        return end;
    };
    for (std::size_t i = n; i-- > 0;) {
        chart.open_row(i);
        const auto singles = grammar.lexical_entries(characters[i]);
        for (const LexicalEntry& entry : singles) {
            if (grammar.is_wide(entry.symbol)) chart.add_end(entry.symbol, i);
        }
        if (i + 1 < n) {
            // Left parts of one character: the symbols deriving the character at i.
            for (const LexicalEntry& entry : singles) apply_rules_from(grammar, chart, entry.symbol, i);
            // Longer left parts (i, k), i < k < n - 1, come from wide symbols only.
            for (std::size_t w = i >> 6; w < furthest_end(); ++w) {
                const std::size_t last = n - 1 - (w << 6);
                std::uint64_t open = last >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << last) - 1;
                if (w == (i >> 6)) open &= ~std::uint64_t{0} << (i & 63) << 1;
                std::size_t collected_for = static_cast<std::size_t>(-1);
                for (;;) {
                    // A symbol that got its first end since joins the live ones.
                    if (collected_for != chart.open_symbols().size()) {
                        collected_for = chart.open_symbols().size();
                        collect_live(w);
                    }
                    const std::uint64_t ends = ends_of_live(w) & open;
                    if (ends == 0) break;
                    const std::uint64_t lowest = ends & (~ends + 1);
                    open &= ~lowest;
                    const std::size_t k = (w << 6) + static_cast<std::size_t>(std::countr_zero(ends));
                    for (std::size_t l = 0; l < live.size(); ++l) {
                        const SymbolId left = live[l];
                        if (chart.open_word(left, w) & lowest) apply_rules_from(grammar, chart, left, k);
                    }
                }
            }
        }
        chart.finish_row();
    }
}

std::int32_t single_tag(const PreparedGrammar& grammar, std::uint32_t character, SymbolId symbol) {
    for (const LexicalEntry& entry : grammar.lexical_entries(character)) {
        if (entry.symbol == symbol) return entry.tag;
    }
    // The chart said the symbol derives the character: a broken chart.
    throw std::logic_error("derivation walk reached a single position the chart does not hold");
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

    if (!grammar.may_begin(characters.front()) || !grammar.may_end(characters.back())) return false;

    CykChart& chart = *chart_;
    chart.reset(grammar, n);
    for (std::size_t p = 0; p < n; ++p) {
        for (const LexicalEntry& entry : grammar.lexical_entries(characters[p])) chart.set_single(entry.symbol, p);
    }
    fill_chart(grammar, chart, characters, live_scratch_);
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
        bool applied = false;
        for (const BinaryRule& rule : grammar.rules_of(node.symbol)) {
            const std::size_t split = chart.first_split(grammar, rule, node.i, node.j);
            if (split == kNoSplit) continue;
            tags.push_back(rule.tag);
            if (!grammar.is_empty_symbol(rule.right)) {
                stack.push_back({split + 1, node.j, rule.right});
                stack.push_back({node.i, split, rule.left});
            }
            applied = true;
            break;
        }
        if (!applied) throw std::logic_error("derivation walk reached a span no rule of its symbol derives");
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
