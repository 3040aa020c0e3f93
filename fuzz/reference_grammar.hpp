// reference_grammar.hpp — deliberately plain conversion, CYK parse and scoring for
// the differential fuzz targets: hash maps per chart cell, linear rule scans.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "grammar/grammar.hpp"

namespace fuzz::reference {

using engine::Production;
using engine::TaggedRule;

// The conversion; nothing when a production has an empty right-hand side.
inline std::optional<std::vector<TaggedRule>> to_cnf_tagged(const std::vector<Production>& productions,
                                                            const std::set<std::string>& terminals) {
    std::vector<TaggedRule> out;
    std::map<std::string, std::string> preterminal;
    std::uint64_t counter = 0;
    const auto fresh = [&] { return "_AUX" + std::to_string(++counter); };
    const auto mapped = [&](const std::string& symbol) -> std::string {
        if (!terminals.count(symbol)) return symbol;
        auto found = preterminal.find(symbol);
        if (found != preterminal.end()) return found->second;
        const std::string name = fresh();
        preterminal[symbol] = name;
        out.push_back({name, {symbol}, -1});
        return name;
    };
    for (std::size_t index = 0; index < productions.size(); ++index) {
        const Production& production = productions[index];
        const auto tag = static_cast<std::int32_t>(index);
        if (production.rhs.empty()) return std::nullopt;
        if (production.rhs.size() == 1) {
            out.push_back({production.lhs, {production.rhs[0]}, tag});
            continue;
        }
        std::vector<std::string> symbols;
        for (const std::string& symbol : production.rhs) symbols.push_back(mapped(symbol));
        std::string prev = symbols[0];
        for (std::size_t i = 1; i + 1 < symbols.size(); ++i) {
            std::string link = fresh();
            out.push_back({link, {prev, symbols[i]}, -1});
            prev = link;
        }
        out.push_back({production.lhs, {prev, symbols.back()}, tag});
    }
    return out;
}

// Splits strictly valid UTF-8 into the texts of its characters; false on any
// malformed byte (such text matches no terminal rule, so it never parses).
inline bool split_characters(std::string_view text, std::vector<std::string>& out) {
    out.clear();
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[pos]);
        std::size_t length = 0;
        std::uint32_t cp = 0;
        if (b0 < 0x80) length = 1, cp = b0;
        else if ((b0 & 0xE0) == 0xC0) length = 2, cp = b0 & 0x1F;
        else if ((b0 & 0xF0) == 0xE0) length = 3, cp = b0 & 0x0F;
        else if ((b0 & 0xF8) == 0xF0) length = 4, cp = b0 & 0x07;
        else return false;
        if (pos + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto b = static_cast<unsigned char>(text[pos + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        out.emplace_back(text.substr(pos, length));
        pos += length;
    }
    return true;
}

// The CYK parse exactly as written: per cell a map from name to back-pointer,
// the rule list scanned in order per position and per span, the smallest split.
// Names are interned to integers first; that changes no comparison.
inline std::optional<std::vector<std::int32_t>> parse(std::string_view text, const std::vector<TaggedRule>& rules,
                                                      const std::string& start) {
    std::vector<std::string> chars;
    if (!split_characters(text, chars) || chars.empty()) return std::nullopt;
    const std::size_t n = chars.size();

    std::unordered_map<std::string, int> ids;
    const auto id = [&](const std::string& name) { return ids.try_emplace(name, static_cast<int>(ids.size())).first->second; };
    struct Binary { int lhs, b, c; std::int32_t tag; };
    struct Terminal { int lhs; std::string symbol; std::int32_t tag; };
    std::vector<Binary> binary;
    std::vector<Terminal> terminal;
    for (const TaggedRule& rule : rules) {
        if (rule.rhs.size() == 1) terminal.push_back({id(rule.lhs), rule.rhs[0], rule.tag});
        if (rule.rhs.size() == 2) binary.push_back({id(rule.lhs), id(rule.rhs[0]), id(rule.rhs[1]), rule.tag});
    }
    const int empty_name = id("");
    const int start_id = id(start);

    struct BackPointer { int left, right; std::int32_t tag; std::size_t split; bool leaf; };
    using Cell = std::unordered_map<int, BackPointer>;
    std::vector<Cell> chart(n * n);
    const auto cell = [&](std::size_t i, std::size_t j) -> Cell& { return chart[i * n + j]; };

    for (std::size_t p = 0; p < n; ++p) {
        for (const Terminal& rule : terminal) {
            if (rule.symbol == chars[p] && !cell(p, p).count(rule.lhs)) {
                cell(p, p).emplace(rule.lhs, BackPointer{-1, -1, rule.tag, 0, true});
            }
        }
    }
    for (std::size_t length = 2; length <= n; ++length) {
        for (std::size_t i = 0; i + length <= n; ++i) {
            const std::size_t j = i + length - 1;
            Cell& target = cell(i, j);
            for (const Binary& rule : binary) {
                if (target.count(rule.lhs)) continue;
                for (std::size_t k = i; k < j; ++k) {
                    if (cell(i, k).count(rule.b) && cell(k + 1, j).count(rule.c)) {
                        target.emplace(rule.lhs, BackPointer{rule.b, rule.c, rule.tag, k, rule.c == empty_name});
                        break;
                    }
                }
            }
        }
    }
    if (!cell(0, n - 1).count(start_id)) return std::nullopt;

    std::vector<std::int32_t> tags;
    struct Node { std::size_t i, j; int name; };
    std::vector<Node> todo{{0, n - 1, start_id}};
    while (!todo.empty()) {
        const Node node = todo.back();
        todo.pop_back();
        const auto found = cell(node.i, node.j).find(node.name);
        if (found == cell(node.i, node.j).end()) continue;
        const BackPointer& entry = found->second;
        tags.push_back(entry.tag);
        if (entry.leaf) continue;
        todo.push_back({entry.split + 1, node.j, entry.right});
        todo.push_back({node.i, entry.split, entry.left});
    }
    return tags;
}

// Rough count of the set look-ups `parse` makes, to keep fuzzing iterations fast.
inline double parse_work(std::size_t characters, std::size_t rules) {
    const double n = static_cast<double>(characters);
    return n * n * n / 6.0 * static_cast<double>(rules) + n * static_cast<double>(rules);
}

inline double round_to(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

struct Metrics {
    double bpc_with_lib = 0.0;
    std::optional<double> l_library, l_data, total_decisions;
    double parse_failures = 0.0;
};

// The scoring operation; nothing when the conversion fails.
inline std::optional<Metrics> grammar_bpc(const std::vector<Production>& productions,
                                          const std::vector<std::string>& corpus,
                                          const std::set<std::string>& terminals, const std::string& start) {
    const auto rules = to_cnf_tagged(productions, terminals);
    if (!rules) return std::nullopt;
    const double t = static_cast<double>(terminals.size());
    double l_library = 0.0;
    if (!productions.empty()) {
        std::set<std::string> heads;
        for (const Production& production : productions) heads.insert(production.lhs);
        const double symbol_bits = std::log2(std::max(t + static_cast<double>(heads.size()) + 1.0, 2.0));
        for (const Production& production : productions) {
            l_library += static_cast<double>(production.rhs.size()) * symbol_bits + 2.0;
        }
    }
    const double spell_bits = std::log2(std::max(t, 2.0));
    std::uint64_t failures = 0, failed_bytes = 0, corpus_length = 0;
    std::map<std::int32_t, std::uint64_t> decisions;  // ascending tag order, as the engine sums
    for (const std::string& text : corpus) {
        const auto tags = parse(text, *rules, start);
        if (!tags) {
            ++failures;
            failed_bytes += text.size();
        } else {
            for (const std::int32_t tag : *tags) {
                if (tag >= 0) ++decisions[tag];
            }
        }
        corpus_length += text.size();
    }
    Metrics metrics;
    metrics.parse_failures = static_cast<double>(failures);
    if (corpus_length == 0) {
        metrics.bpc_with_lib = INFINITY;
        return metrics;
    }
    double l_data = static_cast<double>(failed_bytes) * spell_bits;
    std::uint64_t total = 0;
    for (const auto& [tag, count] : decisions) total += count;
    if (total > 0) {
        double entropy = 0.0;
        for (const auto& [tag, count] : decisions) {
            entropy += static_cast<double>(count) * std::log2(static_cast<double>(count) / static_cast<double>(total));
        }
        l_data += -entropy;
    }
    metrics.bpc_with_lib = round_to((l_library + l_data) / static_cast<double>(corpus_length), 4);
    metrics.l_library = round_to(l_library, 2);
    metrics.l_data = round_to(l_data, 2);
    metrics.total_decisions = static_cast<double>(total);
    return metrics;
}

}  // namespace fuzz::reference
