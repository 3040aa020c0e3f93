#include "cnf_conversion.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>

namespace engine {
namespace {

class Converter {
public:
    Converter(const TerminalSet& terminals, std::vector<TaggedRule>& out)
        : terminals_(terminals), out_(out) {}

    // The symbol a right-hand side of two or more symbols uses in place of `symbol`.
    Symbol map_symbol(const Symbol& symbol) {
        if (terminals_.empty() || !terminals_.contains(symbol)) return symbol;
        if (const auto found = preterminals_.find(symbol); found != preterminals_.end()) {
            return found->second;
        }
        Symbol name = next_aux_name();
        preterminals_.emplace(symbol, name);
        out_.push_back(TaggedRule{name, {symbol}, kAuxiliaryTag});
        return name;
    }

    Symbol next_aux_name() {
        ++aux_counter_;
        return "_AUX" + std::to_string(aux_counter_);
    }

private:
    const TerminalSet& terminals_;
    std::vector<TaggedRule>& out_;
    std::unordered_map<Symbol, Symbol, StringHash, std::equal_to<>> preterminals_;
    std::uint64_t aux_counter_ = 0;
};

}  // namespace

Outcome<std::vector<TaggedRule>> to_cnf_tagged(std::span<const Production> productions,
                                               const TerminalSet& terminals) {
    std::vector<TaggedRule> out;
    out.reserve(productions.size() * 2);
    Converter converter(terminals, out);
    std::vector<Symbol> mapped;

    for (std::size_t index = 0; index < productions.size(); ++index) {
        const Production& production = productions[index];
        const auto tag = static_cast<std::int32_t>(index);
        const std::size_t length = production.rhs.size();
        if (length == 0) return make_fault(kEmptyRhsFault);
        if (length == 1) {
            out.push_back(TaggedRule{production.lhs, {production.rhs[0]}, tag});
            continue;
        }
        mapped.clear();
        for (const Symbol& symbol : production.rhs) mapped.push_back(converter.map_symbol(symbol));
        Symbol prev = std::move(mapped[0]);
        for (std::size_t i = 1; i + 1 < length; ++i) {
            Symbol link = converter.next_aux_name();
            out.push_back(TaggedRule{link, {std::move(prev), std::move(mapped[i])}, kAuxiliaryTag});
            prev = std::move(link);
        }
        out.push_back(TaggedRule{production.lhs, {std::move(prev), std::move(mapped[length - 1])}, tag});
    }
    return out;
}

}  // namespace engine
