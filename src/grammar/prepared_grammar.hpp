// prepared_grammar.hpp — a tagged rule list made ready for parsing many strings:
// symbols interned to small integers, terminal rules indexed by character, binary
// rules as integer triples in list order, and rules that can never apply dropped.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "grammar.hpp"

namespace engine {

using SymbolId = std::uint32_t;
inline constexpr SymbolId kNoSymbol = 0xFFFFFFFFu;
inline constexpr std::uint32_t kNoCharacter = 0xFFFFFFFFu;
// A length bound no string can reach.
inline constexpr std::size_t kUnboundedLength = std::size_t{1} << 62;

struct BinaryRule {
    SymbolId left;
    SymbolId right;
    std::int32_t tag;
};

// A binary rule seen from its first right-hand symbol: lhs -> (that symbol) right.
struct LeftCorner {
    SymbolId lhs;
    SymbolId right;
    std::uint32_t group_end;  // in the symbol's list: one past the last corner with this `right`
};

// A binary rule lhs -> X Y whose Y derives single characters only, seen from X and
// one character Y derives.
struct CharacterCorner {
    std::uint32_t character;
    SymbolId lhs;
};

// A binary rule seen from its second right-hand symbol: lhs -> left (that symbol).
struct RightParent {
    SymbolId lhs;
    SymbolId left;
};

// Of a symbol's rules, those that may apply to a span, by the character at one of
// its ends: positions in rules_of(symbol), in two increasing lists to be merged.
struct RuleChoice {
    std::span<const std::uint32_t> wide;          // rules whose symbol at that end is wide
    std::span<const std::uint32_t> by_character;  // rules whose one-character symbol there derives it
};

// A symbol that derives a character, with the tag of its first terminal rule for it.
struct LexicalEntry {
    SymbolId symbol;
    std::int32_t tag;
};

// Only symbols that can take part in a derivation of the start symbol are kept.
// Kept symbols are numbered so that the "wide" ones, those that may derive spans
// of two or more characters, come first: ids 0 .. wide_count() - 1.
class PreparedGrammar {
public:
    PreparedGrammar(std::span<const TaggedRule> rules, std::string_view start);

    // kNoSymbol when the start symbol can derive nothing.
    SymbolId start() const noexcept { return start_; }
    std::size_t symbol_count() const noexcept { return min_length_.size(); }
    std::size_t wide_count() const noexcept { return wide_count_; }
    bool is_wide(SymbolId symbol) const noexcept { return symbol < wide_count_; }

    // Bounds on the number of characters a symbol can derive; a loose bound is
    // never wrong, it only narrows the split points worth trying.
    std::size_t min_length(SymbolId symbol) const noexcept { return min_length_[symbol]; }
    std::size_t max_length(SymbolId symbol) const noexcept { return max_length_[symbol]; }

    // Whether the start symbol may derive a string of `length` characters, by
    // the lengths it can derive modulo 64 (a necessary condition).
    bool start_may_derive_length(std::size_t length) const noexcept {
        return ((start_length_residues_ >> (length & 63)) & 1) != 0;
    }

    // The binary rules whose left-hand side is `symbol`, in rule-list order.
    std::span<const BinaryRule> rules_of(SymbolId symbol) const noexcept {
        return {binary_rules_.data() + rule_begin_[symbol], binary_rules_.data() + rule_begin_[symbol + 1]};
    }

    // Symbols with many rules, most of them with a one-character first (or second)
    // symbol, keep them indexed by the character a span begins (ends) with:
    // rule_choice() then lists only rules that may apply to the span.
    bool has_rule_choice(SymbolId symbol) const noexcept {
        return symbol < choice_of_.size() && choice_of_[symbol].offsets != kNoChoice;
    }
    RuleChoice rule_choice(SymbolId symbol, std::uint32_t first, std::uint32_t last) const noexcept {
        const ChoiceIndex& index = choice_of_[symbol];
        const std::uint32_t* offsets = choice_offsets_.data() + index.offsets;
        const std::uint32_t character = index.by_last ? last : first;
        return {{choice_positions_.data() + index.wide_begin, choice_positions_.data() + index.wide_end},
                {choice_positions_.data() + offsets[character], choice_positions_.data() + offsets[character + 1]}};
    }

    // The rules whose first right-hand symbol is `symbol`, each (lhs, right) once,
    // ordered by their second symbol.
    std::span<const LeftCorner> rules_starting_with(SymbolId symbol) const noexcept {
        return {left_corners_.data() + left_corner_begin_[symbol],
                left_corners_.data() + left_corner_begin_[symbol + 1]};
    }
    // The rules lhs -> symbol Y whose Y is not wide, as (a character Y derives, lhs),
    // ordered by character.
    std::span<const CharacterCorner> corners_by_character(SymbolId symbol) const noexcept {
        return {character_corners_.data() + character_corner_begin_[symbol],
                character_corners_.data() + character_corner_begin_[symbol + 1]};
    }
    // Those whose Y derives `character`: looked up in a table where the tables of
    // all symbols are small enough, else searched for.
    std::span<const CharacterCorner> corners_for(SymbolId symbol, std::uint32_t character) const noexcept {
        if (!corner_table_.empty()) {
            const std::uint32_t* row = corner_table_.data() + symbol * lexical_begin_.size() + character;
            return {character_corners_.data() + row[0], character_corners_.data() + row[1]};
        }
        const auto all = corners_by_character(symbol);
        const auto first = std::lower_bound(all.begin(), all.end(), character,
                                            [](const CharacterCorner& c, std::uint32_t value) { return c.character < value; });
        auto last = first;
        while (last != all.end() && last->character == character) ++last;
        return {first, last};
    }
    // The symbols that are the first right-hand symbol of some rule.
    std::span<const SymbolId> left_children() const noexcept { return left_children_; }
    // The wide ones among them (ids are numbered wide first, so they lead the list).
    std::span<const SymbolId> wide_left_children() const noexcept {
        return std::span<const SymbolId>(left_children_).first(wide_left_children_);
    }

    // The rules whose second right-hand symbol is `symbol`, each (lhs, left) once,
    // ordered by left-hand side; and how many distinct left-hand sides they have.
    std::span<const RightParent> rules_ending_with(SymbolId symbol) const noexcept {
        return {right_parents_.data() + right_parent_begin_[symbol],
                right_parents_.data() + right_parent_begin_[symbol + 1]};
    }
    std::size_t parents_ending_with(SymbolId symbol) const noexcept { return right_parent_lhs_count_[symbol]; }
    // Those left-hand sides as a symbol set.
    std::span<const std::uint64_t> parent_set_ending_with(SymbolId symbol) const noexcept {
        return {right_parent_set_.data() + symbol * symbol_words_, symbol_words_};
    }

    // Whether the closures below exist (not for very large grammars).
    bool predicts_ends() const noexcept { return symbol_words_ > 0; }
    // Symbol sets are bit sets of this many words.
    std::size_t symbol_words() const noexcept { return symbol_words_; }
    // The symbols that can end every string `symbol` derives: itself, and the second
    // right-hand symbols of its rules, of theirs, and so on.
    std::span<const std::uint64_t> right_closure(SymbolId symbol) const noexcept {
        return {right_closure_.data() + symbol * symbol_words_, symbol_words_};
    }

    // True for the symbol spelled as the empty string: the walk stops at a rule
    // whose second symbol it is.
    bool is_empty_symbol(SymbolId symbol) const noexcept { return symbol == empty_symbol_; }

    // kNoCharacter when no kept terminal rule derives the code point.
    std::uint32_t character_id(std::uint32_t code_point) const noexcept {
        if (code_point < ascii_.size()) return ascii_[code_point];
        const auto found = other_characters_.find(code_point);
        return found == other_characters_.end() ? kNoCharacter : found->second;
    }

    // Whether a string the start symbol derives may begin (end) with the character:
    // a necessary condition, checked before any chart is built.
    bool may_begin(std::uint32_t character) const noexcept { return begins_[character] != 0; }
    bool may_end(std::uint32_t character) const noexcept { return ends_[character] != 0; }

    std::span<const LexicalEntry> lexical_entries(std::uint32_t character) const noexcept {
        return {lexical_.data() + lexical_begin_[character], lexical_.data() + lexical_begin_[character + 1]};
    }

private:
    // The constructor's steps that fill this grammar's tables, over its working state.
    struct Working;
    void number_symbols(Working& w);
    void group_binary_rules(Working& w);
    void index_left_corners(std::pmr::memory_resource* memory);
    void index_terminal_rules(Working& w);
    void mark_edge_characters();
    void index_right_contexts();
    void index_character_corners(const std::vector<std::vector<std::uint32_t>>& characters_of);
    void index_rule_choices(const std::vector<std::vector<std::uint32_t>>& characters_of);
    std::vector<std::vector<std::uint32_t>> characters_of_narrow_symbols() const;
    std::vector<std::vector<std::uint32_t>> edge_characters_of_wide_symbols(
        bool last, const std::vector<std::vector<std::uint32_t>>& characters_of) const;

    static constexpr std::uint32_t kNoChoice = 0xFFFFFFFFu;
    struct ChoiceIndex {
        std::uint32_t offsets = kNoChoice;  // into choice_offsets_: one per character, and one more
        std::uint32_t wide_begin = 0;
        std::uint32_t wide_end = 0;
        bool by_last = false;  // indexed by the second symbol's character
    };

    SymbolId start_ = kNoSymbol;
    SymbolId empty_symbol_ = kNoSymbol;
    std::size_t wide_count_ = 0;
    std::vector<std::size_t> min_length_;
    std::vector<std::size_t> max_length_;
    std::uint64_t start_length_residues_ = 0;
    std::vector<BinaryRule> binary_rules_;
    std::vector<std::size_t> rule_begin_;
    std::vector<LeftCorner> left_corners_;
    std::vector<std::size_t> left_corner_begin_;
    std::vector<SymbolId> left_children_;
    std::size_t wide_left_children_ = 0;
    std::array<std::uint32_t, 128> ascii_{};
    std::unordered_map<std::uint32_t, std::uint32_t> other_characters_;
    std::vector<LexicalEntry> lexical_;
    std::vector<std::size_t> lexical_begin_;
    std::vector<CharacterCorner> character_corners_;
    std::vector<std::size_t> character_corner_begin_;
    std::vector<std::uint32_t> corner_table_;  // per symbol: an offset per character, and one more
    std::vector<RightParent> right_parents_;
    std::vector<std::size_t> right_parent_begin_;
    std::vector<std::size_t> right_parent_lhs_count_;
    std::size_t symbol_words_ = 0;
    std::vector<std::uint64_t> right_closure_;
    std::vector<std::uint64_t> right_parent_set_;
    std::vector<ChoiceIndex> choice_of_;
    std::vector<std::uint32_t> choice_offsets_;
    std::vector<std::uint32_t> choice_positions_;
    std::vector<char> begins_;
    std::vector<char> ends_;
};

}  // namespace engine
