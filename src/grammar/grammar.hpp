// grammar.hpp — the grammar model every operation shares: natural productions,
// tagged CNF rules and the terminal set that tells terminals from nonterminals.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace engine {

// A symbol is any UTF-8 string, compared byte for byte; the empty string is valid.
using Symbol = std::string;

// A natural production: a left-hand symbol and any number of right-hand symbols.
// Its position in a grammar is its index, which the conversion uses as its tag.
struct Production {
    Symbol lhs;
    std::vector<Symbol> rhs;

    friend bool operator==(const Production&, const Production&) = default;
};

// A rule in Chomsky normal form. Rules built by the conversion hold one or two
// right-hand symbols; lists handed in by callers may hold other lengths.
// `tag` is the index of the production the rule stands for, or -1 for a rule the
// conversion introduced.
struct TaggedRule {
    Symbol lhs;
    std::vector<Symbol> rhs;
    std::int32_t tag = -1;

    friend bool operator==(const TaggedRule&, const TaggedRule&) = default;
};

inline constexpr std::int32_t kAuxiliaryTag = -1;

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};

// A symbol is a terminal exactly when the set holds it.
class TerminalSet {
public:
    TerminalSet() = default;

    void insert(std::string_view symbol) { symbols_.emplace(symbol); }
    bool contains(std::string_view symbol) const { return symbols_.find(symbol) != symbols_.end(); }
    std::size_t size() const noexcept { return symbols_.size(); }
    bool empty() const noexcept { return symbols_.empty(); }

private:
    std::unordered_set<std::string, StringHash, std::equal_to<>> symbols_;
};

}  // namespace engine
