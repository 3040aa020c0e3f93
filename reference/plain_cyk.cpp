// CYK over a chart of hash sets and back-pointer maps keyed by nonterminal name; the
// rule list is scanned in order for every position and every span.
#include <unordered_map>

#include "plain_engine.hpp"

namespace reference {
namespace {

struct BackPointer {
    std::string left;
    std::string right;
    std::int32_t tag = 0;
    std::size_t split = 0;
};

struct Cell {
    NameSet derivable;
    std::unordered_map<std::string, BackPointer> back;
};

class Chart {
public:
    explicit Chart(std::size_t n) : n_(n), cells_(n * (n + 1) / 2) {}
    // Spans (i, j) with i <= j, stored row by row.
    Cell& at(std::size_t i, std::size_t j) { return cells_[i * n_ - i * (i - 1) / 2 + (j - i)]; }

private:
    std::size_t n_;
    std::vector<Cell> cells_;
};

void walk(Chart& chart, std::size_t i, std::size_t j, const std::string& name,
          std::vector<std::int32_t>& tags) {
    Cell& cell = chart.at(i, j);
    const auto found = cell.back.find(name);
    if (found == cell.back.end()) return;
    const BackPointer& entry = found->second;
    tags.push_back(entry.tag);
    if (entry.right.empty()) return;
    walk(chart, i, entry.split, entry.left, tags);
    walk(chart, entry.split + 1, j, entry.right, tags);
}

}  // namespace

std::optional<std::vector<std::int32_t>> parse_cnf(std::string_view text,
                                                   const std::vector<TaggedRule>& rules,
                                                   const std::string& start) {
    const auto split = split_characters(text);
    if (!split || split->empty()) return std::nullopt;
    const std::vector<std::string>& chars = *split;
    const std::size_t n = chars.size();
    Chart chart(n);

    for (std::size_t p = 0; p < n; ++p) {
        Cell& cell = chart.at(p, p);
        for (const TaggedRule& rule : rules) {
            if (rule.rhs.size() != 1 || rule.rhs[0] != chars[p]) continue;
            if (cell.derivable.contains(rule.lhs)) continue;
            cell.derivable.insert(rule.lhs);
            cell.back.emplace(rule.lhs, BackPointer{chars[p], std::string(), rule.tag, 0});
        }
    }

    for (std::size_t length = 2; length <= n; ++length) {
        for (std::size_t i = 0; i + length <= n; ++i) {
            const std::size_t j = i + length - 1;
            Cell& cell = chart.at(i, j);
            for (const TaggedRule& rule : rules) {
                if (rule.rhs.size() != 2) continue;
                if (cell.derivable.contains(rule.lhs)) continue;
                const std::string& b = rule.rhs[0];
                const std::string& c = rule.rhs[1];
                for (std::size_t k = i; k < j; ++k) {
                    if (chart.at(i, k).derivable.contains(b) && chart.at(k + 1, j).derivable.contains(c)) {
                        cell.derivable.insert(rule.lhs);
                        cell.back.emplace(rule.lhs, BackPointer{b, c, rule.tag, k});
                        break;
                    }
                }
            }
        }
    }

    if (!chart.at(0, n - 1).derivable.contains(start)) return std::nullopt;
    std::vector<std::int32_t> tags;
    walk(chart, 0, n - 1, start, tags);
    return tags;
}

}  // namespace reference
