#include "counting_fill.hpp"

#include <bit>

#include "grammar/cyk_chart.hpp"
#include "grammar/utf8.hpp"

namespace peers {
namespace {

using engine::CykChart;
using engine::PreparedGrammar;
using engine::SymbolId;

constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);

// One past the last non-zero word of a finished row: the chart's own row end,
// which it keeps private. Rows are final once the fill has moved past their start.
class RowEnds {
public:
    RowEnds(const PreparedGrammar& grammar, const CykChart& chart)
        : grammar_(grammar), chart_(chart), ends_(grammar.wide_count() * chart.length(), kUnknown) {}

    std::size_t operator()(SymbolId symbol, std::size_t start) {
        std::size_t& end = ends_[symbol * chart_.length() + start];
        if (end == kUnknown) {
            end = 0;
            for (std::size_t w = chart_.words_per_row(); w-- > (start >> 6);) {
                if (chart_.ends_from(grammar_, symbol, start, w) != 0) {
                    end = w + 1;
                    break;
                }
            }
        }
        return end;
    }

private:
    const PreparedGrammar& grammar_;
    const CykChart& chart_;
    std::vector<std::size_t> ends_;
};

// The engine's fill_chart, loop for loop, with counters.
void counting_fill(const PreparedGrammar& grammar, CykChart& chart, FillCounts& counts) {
    const std::size_t n = chart.length();
    const auto left_children = grammar.left_children();
    RowEnds row_end(grammar, chart);
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t w = i >> 6; w < chart.words_per_row(); ++w) {
            const std::size_t last = n - 1 - (w << 6);
            std::uint64_t open = last >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << last) - 1;
            for (;;) {
                std::uint64_t ends = 0;
                for (const SymbolId left : left_children) ends |= chart.ends_from(grammar, left, i, w);
                counts.end_scan_words += left_children.size();
                ends &= open;
                if (!ends) break;
                const std::uint64_t lowest = ends & (~ends + 1);
                open &= ~lowest;
                const std::size_t k = (w << 6) + std::countr_zero(ends);
                for (const SymbolId left : left_children) {
                    ++counts.end_scan_words;
                    if (!(chart.ends_from(grammar, left, i, w) & lowest)) continue;
                    for (const engine::LeftCorner& rule : grammar.rules_starting_with(left)) {
                        if (grammar.is_wide(rule.right)) {
                            const std::size_t from = (k + 1) >> 6;
                            const std::size_t end = row_end(rule.right, k + 1);
                            if (end > from) counts.row_or_words += end - from;
                        } else {
                            ++counts.single_checks;
                        }
                        chart.extend_row(grammar, rule.lhs, i, rule.right, k + 1);
                    }
                }
            }
        }
        chart.finish_row(grammar, i);
        if (i == 0) continue;
        for (SymbolId symbol = 0; symbol < grammar.wide_count(); ++symbol) {
            const std::size_t first = i >> 6;
            const std::size_t end = row_end(symbol, i);
            if (end <= first) continue;
            counts.mirror_scan_words += end - first;
            for (std::size_t w = first; w < end; ++w) {
                std::uint64_t bits = chart.ends_from(grammar, symbol, i, w);
                if (w == first) bits &= ~((std::uint64_t{1} << (i & 63) << 1) - 1);
                counts.mirrored_bits += static_cast<std::uint64_t>(std::popcount(bits));
            }
        }
    }
}

std::int32_t single_tag(const PreparedGrammar& grammar, std::uint32_t character, SymbolId symbol) {
    for (const engine::LexicalEntry& entry : grammar.lexical_entries(character)) {
        if (entry.symbol == symbol) return entry.tag;
    }
    return engine::kAuxiliaryTag;
}

}  // namespace

std::optional<std::vector<std::int32_t>> counting_parse(const PreparedGrammar& grammar, std::string_view text,
                                                        FillCounts& counts) {
    const SymbolId start = grammar.start();
    if (text.empty() || start == engine::kNoSymbol) return std::nullopt;
    std::vector<std::uint32_t> characters;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::uint32_t character = grammar.character_id(engine::utf8::next_code_point(text, pos));
        if (character == engine::kNoCharacter) return std::nullopt;
        characters.push_back(character);
    }
    const std::size_t n = characters.size();
    if (n < grammar.min_length(start) || n > grammar.max_length(start)) return std::nullopt;

    CykChart chart;
    chart.reset(grammar, n);
    for (std::size_t p = 0; p < n; ++p) {
        for (const engine::LexicalEntry& entry : grammar.lexical_entries(characters[p])) {
            chart.set_single(entry.symbol, p, grammar.is_wide(entry.symbol));
        }
    }
    counting_fill(grammar, chart, counts);
    if (!chart.derives(grammar, start, 0, n - 1)) return std::nullopt;

    struct Node {
        std::size_t i, j;
        SymbolId symbol;
    };
    std::vector<std::int32_t> tags;
    std::vector<Node> stack{{0, n - 1, start}};
    while (!stack.empty()) {
        const Node node = stack.back();
        stack.pop_back();
        if (node.i == node.j) {
            tags.push_back(single_tag(grammar, characters[node.i], node.symbol));
            continue;
        }
        for (const engine::BinaryRule& rule : grammar.rules_of(node.symbol)) {
            counts.walk_and_words += (node.j - node.i + 63) / 64;
            const std::size_t split = chart.first_split(grammar, rule, node.i, node.j);
            if (split == engine::kNoSplit) continue;
            tags.push_back(rule.tag);
            if (!grammar.is_empty_symbol(rule.right)) {
                stack.push_back({split + 1, node.j, rule.right});
                stack.push_back({node.i, split, rule.left});
            }
            break;
        }
    }
    return tags;
}

}  // namespace peers
