// Tagged CNF conversion: pre-terminals for terminals in long right-hand sides and a
// left-branching chain of fresh nonterminals for right-hand sides of three or more.
#include <unordered_map>

#include "plain_engine.hpp"

namespace reference {

std::optional<std::vector<TaggedRule>> to_cnf_tagged(const std::vector<Production>& productions,
                                                     const NameSet& terminals) {
    std::vector<TaggedRule> out;
    std::unordered_map<std::string, std::string> preterminals;
    std::uint64_t counter = 0;

    const auto map_symbol = [&](const std::string& symbol) -> std::string {
        if (!terminals.contains(symbol)) return symbol;
        const auto found = preterminals.find(symbol);
        if (found != preterminals.end()) return found->second;
        std::string name = "_AUX" + std::to_string(++counter);
        preterminals.emplace(symbol, name);
        out.push_back(TaggedRule{name, {symbol}, -1});
        return name;
    };

    for (std::size_t n = 0; n < productions.size(); ++n) {
        const Production& production = productions[n];
        const auto tag = static_cast<std::int32_t>(n);
        const std::size_t length = production.rhs.size();
        if (length == 0) return std::nullopt;
        if (length == 1) {
            out.push_back(TaggedRule{production.lhs, {production.rhs[0]}, tag});
            continue;
        }
        std::vector<std::string> mapped;
        for (const std::string& symbol : production.rhs) mapped.push_back(map_symbol(symbol));
        std::string prev = mapped[0];
        for (std::size_t i = 1; i + 1 < length; ++i) {
            std::string name = "_AUX" + std::to_string(++counter);
            out.push_back(TaggedRule{name, {prev, mapped[i]}, -1});
            prev = name;
        }
        out.push_back(TaggedRule{production.lhs, {prev, mapped[length - 1]}, tag});
    }
    return out;
}

}  // namespace reference
