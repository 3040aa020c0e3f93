#include "prepared_grammar.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <memory_resource>
#include <unordered_set>
#include <utility>

#include "utf8.hpp"

namespace engine {
namespace {

struct RawBinary {
    std::uint32_t lhs, left, right;
    std::int32_t tag;
};

struct RawLexical {
    std::uint32_t code_point, lhs;
    std::int32_t tag;
};

constexpr std::size_t kMostPredictedSymbols = 8192;
constexpr int kClosurePasses = 16;
// Symbols with at least this many rules get their rules indexed by the character
// at one end of a span.
constexpr std::size_t kChoiceRules = 8;
// Wide symbols list the characters their strings begin (end) with for rule
// choices when these are at most this many, and a quarter of all characters.
constexpr std::size_t kFewEdgeCharacters = 64;
// And only while their character sets take at most this many words.
constexpr std::size_t kEdgeSetWords = std::size_t{1} << 20;
// Corners are looked up by (symbol, character) in a table of at most this many
// entries (or four per corner).
constexpr std::size_t kCornerTableEntries = std::size_t{1} << 16;

std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
    return std::min(a + b, kUnboundedLength);  // both operands are at most 2^62
}

using Pairs = std::pmr::vector<std::pair<std::uint32_t, std::uint32_t>>;

// Compressed adjacency: for each key, the list of values pushed under it.
class Adjacency {
public:
    explicit Adjacency(std::pmr::memory_resource* memory) : begin_(memory), values_(memory) {}
    Adjacency(std::size_t keys, const Pairs& pairs, std::pmr::memory_resource* memory)
        : begin_(keys + 1, 0, memory), values_(pairs.size(), memory) {
        for (const auto& [key, value] : pairs) ++begin_[key + 1];
        for (std::size_t k = 0; k < keys; ++k) begin_[k + 1] += begin_[k];
        std::pmr::vector<std::size_t> fill(begin_.begin(), begin_.end() - 1, begin_.get_allocator());
        for (const auto& [key, value] : pairs) values_[fill[key]++] = value;
    }
    std::span<const std::uint32_t> operator[](std::size_t key) const {
        return {values_.data() + begin_[key], values_.data() + begin_[key + 1]};
    }

private:
    std::pmr::vector<std::size_t> begin_;
    std::pmr::vector<std::uint32_t> values_;
};

struct TripleHash {
    std::size_t operator()(const std::pair<std::uint64_t, std::uint32_t>& key) const noexcept {
        return std::hash<std::uint64_t>{}(key.first * 0x9E3779B97F4A7C15ull ^ key.second);
    }
};

// The constructor's working state: the rules as interned integers and the tables
// each step leaves for the next. Everything lives in the caller's arena.
struct WorkingTables {
    explicit WorkingTables(std::pmr::memory_resource* arena)
        : memory(arena), ids(arena), names(arena), binary(arena), lexical(arena), has_terminal(arena),
          productive(arena), work(arena), rules_by_lhs(arena), kept(arena), max_len(arena), min_len(arena),
          length_residues(arena), same_as(arena), represented(arena), id_of(arena) {}

    // Whether both right-hand symbols of a rule derive some string.
    bool usable(const RawBinary& rule) const { return productive[rule.left] && productive[rule.right]; }
    // The raw id of the symbol spelled as the empty string, kNoSymbol when unused.
    std::uint32_t raw_empty() const {
        const auto empty = ids.find(std::string_view{});
        return empty == ids.end() ? kNoSymbol : empty->second;
    }

    std::pmr::memory_resource* memory;
    std::pmr::unordered_map<std::string_view, std::uint32_t> ids;
    std::pmr::vector<std::string_view> names;
    std::pmr::vector<RawBinary> binary;
    std::pmr::vector<RawLexical> lexical;
    std::size_t count = 0;
    std::uint32_t raw_start = 0;
    std::pmr::vector<char> has_terminal, productive;
    std::pmr::vector<std::uint32_t> work;  // a stack, shared by the steps that walk
    Adjacency rules_by_lhs;                // usable rules of productive symbols
    std::pmr::vector<char> kept;
    std::pmr::vector<std::size_t> max_len, min_len;
    std::pmr::vector<std::uint64_t> length_residues;
    std::pmr::vector<std::uint32_t> same_as;
    std::pmr::vector<char> represented;
    std::pmr::vector<SymbolId> id_of;
};

// Interns every symbol that a usable rule mentions: binary rules and rules of one
// single-character symbol; any other rule can never apply. False when the start
// symbol is not among them.
bool intern_rules(std::span<const TaggedRule> rules, std::string_view start, WorkingTables& w) {
    const auto intern = [&](std::string_view name) {
        const auto [it, added] = w.ids.try_emplace(name, static_cast<std::uint32_t>(w.names.size()));
        if (added) w.names.push_back(name);
        return it->second;
    };
    w.binary.reserve(rules.size());
    for (const TaggedRule& rule : rules) {
        if (rule.rhs.size() == 1) {
            std::uint32_t code_point = 0;
            // A symbol of any other length can never equal one character's text.
            if (utf8::single_code_point(rule.rhs[0], code_point)) {
                w.lexical.push_back({code_point, intern(rule.lhs), rule.tag});
            }
        } else if (rule.rhs.size() == 2) {
            const std::uint32_t lhs = intern(rule.lhs);
            const std::uint32_t left = intern(rule.rhs[0]);
            const std::uint32_t right = intern(rule.rhs[1]);
            w.binary.push_back({lhs, left, right, rule.tag});
        }
    }
    const auto start_found = w.ids.find(start);
    if (start_found == w.ids.end()) return false;
    w.count = w.names.size();
    w.raw_start = start_found->second;
    return true;
}

// Productive symbols: those that derive at least one string. A binary rule makes
// its left-hand side productive once both its children are.
void find_productive(WorkingTables& w) {
    const std::pmr::vector<RawBinary>& binary = w.binary;
    w.has_terminal.assign(w.count, 0);
    w.productive.assign(w.count, 0);
    for (const RawLexical& entry : w.lexical) {
        w.has_terminal[entry.lhs] = 1;
        if (!w.productive[entry.lhs]) w.productive[entry.lhs] = 1, w.work.push_back(entry.lhs);
    }
    Pairs child_to_rule(w.memory);
    child_to_rule.reserve(binary.size() * 2);
    for (std::uint32_t r = 0; r < binary.size(); ++r) {
        child_to_rule.emplace_back(binary[r].left, r);
        child_to_rule.emplace_back(binary[r].right, r);
    }
    const Adjacency rules_by_child(w.count, child_to_rule, w.memory);
    std::pmr::vector<std::uint8_t> pending(binary.size(), 2, w.memory);
    while (!w.work.empty()) {
        const std::uint32_t symbol = w.work.back();
        w.work.pop_back();
        for (const std::uint32_t r : rules_by_child[symbol]) {
            if (--pending[r] == 0 && !w.productive[binary[r].lhs]) {
                w.productive[binary[r].lhs] = 1;
                w.work.push_back(binary[r].lhs);
            }
        }
    }
}

// Indexes the usable rules of productive symbols by left-hand side, then keeps the
// symbols reachable from the start through them.
void find_reachable(WorkingTables& w) {
    const std::pmr::vector<RawBinary>& binary = w.binary;
    Pairs lhs_to_rule(w.memory);
    for (std::uint32_t r = 0; r < binary.size(); ++r) {
        if (w.productive[binary[r].lhs] && w.usable(binary[r])) lhs_to_rule.emplace_back(binary[r].lhs, r);
    }
    w.rules_by_lhs = Adjacency(w.count, lhs_to_rule, w.memory);
    w.kept.assign(w.count, 0);
    w.kept[w.raw_start] = 1;
    w.work.assign(1, w.raw_start);
    while (!w.work.empty()) {
        const std::uint32_t symbol = w.work.back();
        w.work.pop_back();
        for (const std::uint32_t r : w.rules_by_lhs[symbol]) {
            for (const std::uint32_t child : {binary[r].left, binary[r].right}) {
                if (!w.kept[child]) w.kept[child] = 1, w.work.push_back(child);
            }
        }
    }
}

// Longest derivable length of each kept symbol: exact below any cycle, unbounded
// through one. A symbol is finished once all its rules' children are.
void bound_longest(WorkingTables& w) {
    const std::pmr::vector<RawBinary>& binary = w.binary;
    w.max_len.assign(w.count, kUnboundedLength);
    std::pmr::vector<std::size_t> unfinished(w.count, 0, w.memory);
    Pairs child_to_parent(w.memory);
    for (std::uint32_t symbol = 0; symbol < w.count; ++symbol) {
        if (!w.kept[symbol]) continue;
        for (const std::uint32_t r : w.rules_by_lhs[symbol]) {
            child_to_parent.emplace_back(binary[r].left, symbol);
            child_to_parent.emplace_back(binary[r].right, symbol);
            unfinished[symbol] += 2;
        }
    }
    const Adjacency parents(w.count, child_to_parent, w.memory);
    const auto finish = [&](std::uint32_t symbol) {
        std::size_t longest = w.has_terminal[symbol] ? 1 : 0;
        for (const std::uint32_t r : w.rules_by_lhs[symbol]) {
            longest = std::max(longest, saturating_add(w.max_len[binary[r].left], w.max_len[binary[r].right]));
        }
        w.max_len[symbol] = longest;
        w.work.push_back(symbol);
    };
    for (std::uint32_t symbol = 0; symbol < w.count; ++symbol) {
        if (w.kept[symbol] && unfinished[symbol] == 0) finish(symbol);
    }
    while (!w.work.empty()) {
        const std::uint32_t symbol = w.work.back();
        w.work.pop_back();
        for (const std::uint32_t parent : parents[symbol]) {
            if (--unfinished[parent] == 0) finish(parent);
        }
    }
}

// Shortest derivable length of each kept symbol, as a lower bound (1 to begin
// with) tightened by a few passes.
void bound_shortest(WorkingTables& w) {
    const std::pmr::vector<RawBinary>& binary = w.binary;
    w.min_len.assign(w.count, 1);
    for (int pass = 0; pass < 32; ++pass) {
        bool changed = false;
        for (std::uint32_t symbol = 0; symbol < w.count; ++symbol) {
            if (!w.kept[symbol] || w.has_terminal[symbol]) continue;
            std::size_t shortest = kUnboundedLength;
            for (const std::uint32_t r : w.rules_by_lhs[symbol]) {
                shortest = std::min(shortest, saturating_add(w.min_len[binary[r].left], w.min_len[binary[r].right]));
            }
            if (shortest > w.min_len[symbol]) w.min_len[symbol] = shortest, changed = true;
        }
        if (!changed) break;
    }
}

// Lengths modulo 64 as bit masks (bit r: some length is r mod 64): those of a
// concatenation, each sum of one length of each part.
std::uint64_t add_lengths(std::uint64_t a, std::uint64_t b) noexcept {
    constexpr std::uint64_t kEvery = ~std::uint64_t{0};
    if (a == 0 || b == 0) return 0;
    if (a == kEvery || b == kEvery) return kEvery;
    if (std::popcount(a) > std::popcount(b)) std::swap(a, b);
    std::uint64_t sums = 0;
    for (; a != 0 && sums != kEvery; a &= a - 1) sums |= std::rotl(b, std::countr_zero(a));
    return sums;
}

// The lengths each kept symbol can derive, modulo 64: the least solution of "a
// terminal rule gives length 1, a binary rule the sums of its parts' lengths",
// found by a work list (a mask only grows, 64 times at most).
void find_length_residues(WorkingTables& w) {
    const std::pmr::vector<RawBinary>& binary = w.binary;
    w.length_residues.assign(w.count, 0);
    Pairs part_to_rule(w.memory);
    for (std::uint32_t symbol = 0; symbol < w.count; ++symbol) {
        if (!w.kept[symbol]) continue;
        for (const std::uint32_t r : w.rules_by_lhs[symbol]) {
            part_to_rule.emplace_back(binary[r].left, r);
            if (binary[r].right != binary[r].left) part_to_rule.emplace_back(binary[r].right, r);
        }
    }
    const Adjacency rules_with_part(w.count, part_to_rule, w.memory);
    w.work.clear();
    for (std::uint32_t symbol = 0; symbol < w.count; ++symbol) {
        if (w.kept[symbol] && w.has_terminal[symbol]) {
            w.length_residues[symbol] = 2;  // length 1
            w.work.push_back(symbol);
        }
    }
    while (!w.work.empty()) {
        const std::uint32_t part = w.work.back();
        w.work.pop_back();
        for (const std::uint32_t r : rules_with_part[part]) {
            const RawBinary& rule = binary[r];
            const std::uint64_t sums = add_lengths(w.length_residues[rule.left], w.length_residues[rule.right]);
            if ((sums & ~w.length_residues[rule.lhs]) == 0) continue;
            w.length_residues[rule.lhs] |= sums;
            w.work.push_back(rule.lhs);
        }
    }
}

// Symbols with the same terminal rules and the same binary rules, in the same
// order with the same tags, derive the same spans by the same derivations: each
// takes the id of the first of them (conversions make many such links, one per
// production), and only that first one is represented. The empty symbol, where
// the walk stops, stays alone.
void share_identical_symbols(WorkingTables& w) {
    const std::pmr::vector<RawBinary>& binary = w.binary;
    const std::pmr::vector<RawLexical>& lexical = w.lexical;
    w.same_as.assign(w.count, 0);
    Pairs lhs_to_lexical(w.memory);
    for (std::uint32_t e = 0; e < lexical.size(); ++e) lhs_to_lexical.emplace_back(lexical[e].lhs, e);
    const Adjacency lexical_by_lhs(w.count, lhs_to_lexical, w.memory);
    const std::uint32_t raw_empty = w.raw_empty();
    std::pmr::unordered_map<std::string_view, std::uint32_t> first_with(w.memory);
    std::pmr::vector<std::uint32_t> signatures(w.memory);  // one after another
    std::pmr::vector<std::size_t> signature_at(w.count + 1, 0, w.memory);
    for (std::uint32_t symbol = 0; symbol < w.count; ++symbol) {
        w.same_as[symbol] = symbol;
        if (!w.kept[symbol] || symbol == raw_empty) continue;
        const std::size_t at = signatures.size();
        for (const std::uint32_t e : lexical_by_lhs[symbol]) {
            signatures.insert(signatures.end(), {0u, lexical[e].code_point, static_cast<std::uint32_t>(lexical[e].tag)});
        }
        for (const std::uint32_t r : w.rules_by_lhs[symbol]) {
            signatures.insert(signatures.end(),
                              {1u, binary[r].left, binary[r].right, static_cast<std::uint32_t>(binary[r].tag)});
        }
        signature_at[symbol] = at;
        signature_at[symbol + 1] = signatures.size();
    }
    for (std::uint32_t symbol = 0; symbol < w.count; ++symbol) {
        if (!w.kept[symbol] || symbol == raw_empty) continue;
        // Views into `signatures`, which no longer grows.
        const std::size_t at = signature_at[symbol];
        const std::string_view key(reinterpret_cast<const char*>(signatures.data() + at),
                                   (signature_at[symbol + 1] - at) * sizeof(std::uint32_t));
        const auto [found, added] = first_with.try_emplace(key, symbol);
        if (!added) w.same_as[symbol] = found->second;
    }
    w.represented.assign(w.kept.begin(), w.kept.end());
    for (std::uint32_t symbol = 0; symbol < w.count; ++symbol) {
        if (w.same_as[symbol] != symbol) w.represented[symbol] = 0;
    }
}

}  // namespace

// The tables as the constructor's private steps see them.
struct PreparedGrammar::Working : WorkingTables {
    using WorkingTables::WorkingTables;
};

PreparedGrammar::PreparedGrammar(std::span<const TaggedRule> rules, std::string_view start) {
    ascii_.fill(kNoCharacter);
    rule_begin_.assign(1, 0);
    left_corner_begin_.assign(1, 0);
    lexical_begin_.assign(1, 0);

    // Working tables live in one arena, mostly on the stack for small grammars.
    std::array<std::byte, 32768> stack_memory;
    std::pmr::monotonic_buffer_resource arena(stack_memory.data(), stack_memory.size());
    Working w(&arena);

    if (!intern_rules(rules, start, w)) return;
    find_productive(w);
    if (!w.productive[w.raw_start]) return;
    find_reachable(w);
    bound_longest(w);
    bound_shortest(w);
    find_length_residues(w);
    start_length_residues_ = w.length_residues[w.raw_start];
    share_identical_symbols(w);
    number_symbols(w);
    group_binary_rules(w);
    index_left_corners(w.memory);
    index_terminal_rules(w);
    mark_edge_characters();
    index_right_contexts();
    const auto characters_of = characters_of_narrow_symbols();
    index_character_corners(characters_of);
    index_rule_choices(characters_of);
}

// Numbers the represented symbols, wide ones first, each group in first-mention
// order, with their length bounds; every kept symbol takes its representative's id.
void PreparedGrammar::number_symbols(Working& w) {
    w.id_of.assign(w.count, kNoSymbol);
    SymbolId next = 0;
    for (const bool wide_pass : {true, false}) {
        for (std::uint32_t symbol = 0; symbol < w.count; ++symbol) {
            if (w.represented[symbol] && (w.max_len[symbol] >= 2) == wide_pass) {
                w.id_of[symbol] = next++;
                min_length_.push_back(w.min_len[symbol]);
                max_length_.push_back(w.max_len[symbol]);
            }
        }
        if (wide_pass) wide_count_ = next;
    }
    for (std::uint32_t symbol = 0; symbol < w.count; ++symbol) w.id_of[symbol] = w.id_of[w.same_as[symbol]];
    start_ = w.id_of[w.raw_start];
    if (const std::uint32_t raw_empty = w.raw_empty(); raw_empty != kNoSymbol) empty_symbol_ = w.id_of[raw_empty];
}

// Binary rules of represented symbols grouped by left-hand side, in list order; a
// rule repeating an earlier one with the same symbols can never be the first to apply.
void PreparedGrammar::group_binary_rules(Working& w) {
    const std::pmr::vector<RawBinary>& binary = w.binary;
    const std::pmr::vector<SymbolId>& id_of = w.id_of;
    const std::size_t next = symbol_count();
    std::pmr::unordered_set<std::pair<std::uint64_t, std::uint32_t>, TripleHash> seen(w.memory);
    std::vector<std::size_t> per_lhs(next + 1, 0);
    std::pmr::vector<char> keep_rule(binary.size(), 0, w.memory);
    for (std::uint32_t r = 0; r < binary.size(); ++r) {
        const RawBinary& rule = binary[r];
        if (!w.represented[rule.lhs] || !w.usable(rule)) continue;
        const std::uint64_t head = (std::uint64_t{id_of[rule.lhs]} << 32) | id_of[rule.left];
        if (!seen.insert({head, id_of[rule.right]}).second) continue;
        keep_rule[r] = 1;
        ++per_lhs[id_of[rule.lhs] + 1];
    }
    for (SymbolId s = 0; s < next; ++s) per_lhs[s + 1] += per_lhs[s];
    rule_begin_ = per_lhs;
    binary_rules_.resize(per_lhs[next]);
    for (std::uint32_t r = 0; r < binary.size(); ++r) {
        if (!keep_rule[r]) continue;
        const RawBinary& rule = binary[r];
        binary_rules_[per_lhs[id_of[rule.lhs]]++] = {id_of[rule.left], id_of[rule.right], rule.tag};
    }
}

// The same rules indexed by their first right-hand symbol, for the chart fill, and
// the symbols that are some rule's first right-hand symbol.
void PreparedGrammar::index_left_corners(std::pmr::memory_resource* memory) {
    const std::size_t next = symbol_count();
    left_corner_begin_.assign(next + 1, 0);
    for (SymbolId lhs = 0; lhs < next; ++lhs) {
        for (const BinaryRule& rule : rules_of(lhs)) ++left_corner_begin_[rule.left + 1];
    }
    for (SymbolId s = 0; s < next; ++s) {
        if (left_corner_begin_[s + 1] > 0) {
            left_children_.push_back(s);
            if (is_wide(s)) ++wide_left_children_;
        }
        left_corner_begin_[s + 1] += left_corner_begin_[s];
    }
    left_corners_.resize(left_corner_begin_[next]);
    std::pmr::vector<std::size_t> corner_fill(left_corner_begin_.begin(), left_corner_begin_.end() - 1, memory);
    for (SymbolId lhs = 0; lhs < next; ++lhs) {
        for (const BinaryRule& rule : rules_of(lhs)) left_corners_[corner_fill[rule.left]++] = {lhs, rule.right, 0};
    }
    // Grouped by second symbol, so that the fill looks each right part up once.
    for (SymbolId s = 0; s < next; ++s) {
        std::stable_sort(left_corners_.begin() + static_cast<std::ptrdiff_t>(left_corner_begin_[s]),
                         left_corners_.begin() + static_cast<std::ptrdiff_t>(left_corner_begin_[s + 1]),
                         [](const LeftCorner& a, const LeftCorner& b) { return a.right < b.right; });
        const std::size_t size = left_corner_begin_[s + 1] - left_corner_begin_[s];
        LeftCorner* corners = left_corners_.data() + left_corner_begin_[s];
        for (std::size_t r = size; r-- > 0;) {
            const bool last = r + 1 == size || corners[r + 1].right != corners[r].right;
            corners[r].group_end = last ? static_cast<std::uint32_t>(r + 1) : corners[r + 1].group_end;
        }
    }
}

// Terminal rules indexed by character: characters numbered in first-mention order,
// and for each the represented symbols deriving it, with the first tag of each.
void PreparedGrammar::index_terminal_rules(Working& w) {
    std::pmr::vector<std::pmr::vector<LexicalEntry>> by_character(w.memory);
    std::pmr::unordered_set<std::uint64_t> seen_lexical(w.memory);
    for (const RawLexical& entry : w.lexical) {
        if (!w.represented[entry.lhs]) continue;
        std::uint32_t character = character_id(entry.code_point);
        if (character == kNoCharacter) {
            character = static_cast<std::uint32_t>(by_character.size());
            by_character.emplace_back();
            if (entry.code_point < ascii_.size()) {
                ascii_[entry.code_point] = character;
            } else {
                other_characters_.emplace(entry.code_point, character);
            }
        }
        const SymbolId symbol = w.id_of[entry.lhs];
        if (seen_lexical.insert((std::uint64_t{character} << 32) | symbol).second) {
            by_character[character].push_back({symbol, entry.tag});
        }
    }
    for (const auto& entries : by_character) {
        lexical_.insert(lexical_.end(), entries.begin(), entries.end());
        lexical_begin_.push_back(lexical_.size());
    }
}

// Rules lhs -> X Y with a one-character Y, found by X and the next character.
// The characters each one-character symbol derives, by symbol id - wide_count().
std::vector<std::vector<std::uint32_t>> PreparedGrammar::characters_of_narrow_symbols() const {
    const std::size_t characters = lexical_begin_.size() - 1;
    std::vector<std::vector<std::uint32_t>> characters_of(symbol_count() - wide_count_);
    for (std::uint32_t character = 0; character < characters; ++character) {
        for (const LexicalEntry& entry : lexical_entries(character)) {
            if (!is_wide(entry.symbol)) characters_of[entry.symbol - wide_count_].push_back(character);
        }
    }
    return characters_of;
}

void PreparedGrammar::index_character_corners(const std::vector<std::vector<std::uint32_t>>& characters_of) {
    const std::size_t count = symbol_count();
    character_corner_begin_.assign(count + 1, 0);
    for (SymbolId left = 0; left < count; ++left) {
        for (const LeftCorner& corner : rules_starting_with(left)) {
            if (is_wide(corner.right)) continue;
            for (const std::uint32_t character : characters_of[corner.right - wide_count_]) {
                character_corners_.push_back({character, corner.lhs});
            }
        }
        std::stable_sort(character_corners_.begin() + static_cast<std::ptrdiff_t>(character_corner_begin_[left]),
                         character_corners_.end(),
                         [](const CharacterCorner& a, const CharacterCorner& b) { return a.character < b.character; });
        character_corner_begin_[left + 1] = character_corners_.size();
    }
    // The table: for each symbol and character, where its corners for the
    // character begin; the next entry is where they end.
    const std::size_t stride = lexical_begin_.size();  // characters, and one more
    const std::size_t entries = count * stride;
    if (character_corners_.empty() || character_corners_.size() >= 0xFFFFFFFFu ||
        entries > std::max<std::size_t>(kCornerTableEntries, 4 * character_corners_.size())) {
        return;
    }
    corner_table_.resize(entries);
    for (SymbolId left = 0; left < count; ++left) {
        std::size_t at = character_corner_begin_[left];
        const std::size_t end = character_corner_begin_[left + 1];
        std::uint32_t* row = corner_table_.data() + left * stride;
        for (std::uint32_t character = 0; character < stride; ++character) {
            while (at < end && character_corners_[at].character < character) ++at;
            row[character] = static_cast<std::uint32_t>(at);
        }
    }
}

// The characters each wide symbol's strings can begin (`last`: end) with, listed
// only where they are few; an empty list where they are many, or where the sets
// would take too much memory to work out.
std::vector<std::vector<std::uint32_t>> PreparedGrammar::edge_characters_of_wide_symbols(
    bool last, const std::vector<std::vector<std::uint32_t>>& characters_of) const {
    const std::size_t characters = lexical_begin_.size() - 1;
    const std::size_t words = (characters + 63) / 64;
    std::vector<std::vector<std::uint32_t>> listed(wide_count_);
    if (wide_count_ * words > kEdgeSetWords) return listed;
    // Sets grow to the least solution of: a symbol's own characters, and each of
    // its rules' first (last) symbol's, by a work list over "is the edge symbol of".
    std::vector<std::uint64_t> sets(wide_count_ * words, 0);
    const auto add = [&](SymbolId symbol, std::uint32_t character) {
        sets[symbol * words + (character >> 6)] |= std::uint64_t{1} << (character & 63);
    };
    for (std::uint32_t character = 0; character < characters; ++character) {
        for (const LexicalEntry& entry : lexical_entries(character)) {
            if (is_wide(entry.symbol)) add(entry.symbol, character);
        }
    }
    // A one-character edge symbol adds its characters now; a wide one links.
    Pairs edge_to_parent(std::pmr::get_default_resource());
    for (SymbolId lhs = 0; lhs < wide_count_; ++lhs) {
        for (const BinaryRule& rule : rules_of(lhs)) {
            const SymbolId edge = last ? rule.right : rule.left;
            if (is_wide(edge)) {
                edge_to_parent.emplace_back(edge, lhs);
            } else {
                for (const std::uint32_t character : characters_of[edge - wide_count_]) add(lhs, character);
            }
        }
    }
    const Adjacency parents(wide_count_, edge_to_parent, std::pmr::get_default_resource());
    std::vector<SymbolId> work(wide_count_);
    for (SymbolId s = 0; s < wide_count_; ++s) work[s] = s;
    while (!work.empty()) {
        const SymbolId edge = work.back();
        work.pop_back();
        for (const SymbolId lhs : parents[edge]) {
            bool grew = false;
            for (std::size_t w = 0; w < words; ++w) {
                const std::uint64_t merged = sets[lhs * words + w] | sets[edge * words + w];
                grew |= merged != sets[lhs * words + w];
                sets[lhs * words + w] = merged;
            }
            if (grew) work.push_back(lhs);
        }
    }
    const std::size_t few = std::min<std::size_t>(kFewEdgeCharacters, characters / 4);
    for (SymbolId symbol = 0; symbol < wide_count_; ++symbol) {
        std::size_t count = 0;
        for (std::size_t w = 0; w < words; ++w) count += static_cast<std::size_t>(std::popcount(sets[symbol * words + w]));
        if (count > few) continue;
        for (std::size_t w = 0; w < words; ++w) {
            for (std::uint64_t bits = sets[symbol * words + w]; bits != 0; bits &= bits - 1) {
                listed[symbol].push_back(static_cast<std::uint32_t>((w << 6) + static_cast<std::size_t>(std::countr_zero(bits))));
            }
        }
    }
    return listed;
}

// A symbol whose many rules mostly begin (or end) with a symbol of few characters
// there (one-character symbols, and wide ones whose strings begin (end) with few):
// the rules that may apply to a span beginning (ending) with each character, so
// that a walk through a span tries only those (and the rules with other wide
// symbols there). The tables are kept within a few times the rule count.
void PreparedGrammar::index_rule_choices(const std::vector<std::vector<std::uint32_t>>& characters_of) {
    const std::size_t count = symbol_count();
    const std::size_t characters = lexical_begin_.size() - 1;
    std::size_t budget = 2 * binary_rules_.size() + 4096;
    std::vector<std::uint32_t> per_character;
    std::array<std::vector<std::vector<std::uint32_t>>, 2> wide_edges;  // by_last: first and last characters
    bool edges_known = false;
    for (SymbolId symbol = 0; symbol < count; ++symbol) {
        const auto rules = rules_of(symbol);
        if (rules.size() < kChoiceRules) continue;
        if (!edges_known) {
            edges_known = true;
            wide_edges[0] = edge_characters_of_wide_symbols(false, characters_of);
            wide_edges[1] = edge_characters_of_wide_symbols(true, characters_of);
        }
        // The characters a rule's symbol at that end may show there; empty for any.
        const auto edge_characters = [&](SymbolId edge, bool by_last) -> const std::vector<std::uint32_t>& {
            return is_wide(edge) ? wide_edges[by_last][edge] : characters_of[edge - wide_count_];
        };
        const auto always_tried = [&](const BinaryRule& rule, bool last) {
            return edge_characters(last ? rule.right : rule.left, last).empty();
        };
        // The most rules a span could have to try, keyed by either end: the
        // rules always tried and the longest list of one character.
        std::array<std::size_t, 2> always{};
        std::array<std::size_t, 2> most{};
        for (const bool last : {false, true}) {
            per_character.assign(characters, 0);
            for (const BinaryRule& rule : rules) {
                if (always_tried(rule, last)) ++always[last];
                for (const std::uint32_t character : edge_characters(last ? rule.right : rule.left, last)) {
                    most[last] = std::max<std::size_t>(most[last], ++per_character[character]);
                }
            }
        }
        const bool by_last = always[1] + most[1] < always[0] + most[0];
        const std::size_t wide = always[by_last];
        if (2 * wide > rules.size() || characters + 1 > budget) continue;
        const auto keyed = [by_last](const BinaryRule& rule) { return by_last ? rule.right : rule.left; };
        const auto listed = [&](const BinaryRule& rule) -> const std::vector<std::uint32_t>& {
            return edge_characters(keyed(rule), by_last);
        };
        std::size_t size = characters + 1 + wide;
        for (const BinaryRule& rule : rules) size += listed(rule).size();
        if (size > budget) continue;
        budget -= size;
        if (choice_of_.empty()) choice_of_.resize(count);
        ChoiceIndex& index = choice_of_[symbol];
        index.by_last = by_last;
        index.wide_begin = static_cast<std::uint32_t>(choice_positions_.size());
        for (std::uint32_t p = 0; p < rules.size(); ++p) {
            if (listed(rules[p]).empty()) choice_positions_.push_back(p);
        }
        index.wide_end = static_cast<std::uint32_t>(choice_positions_.size());
        // Counted per character, then placed in rule order.
        per_character.assign(characters + 1, 0);
        for (const BinaryRule& rule : rules) {
            for (const std::uint32_t character : listed(rule)) ++per_character[character + 1];
        }
        index.offsets = static_cast<std::uint32_t>(choice_offsets_.size());
        auto offset = static_cast<std::uint32_t>(choice_positions_.size());
        for (std::size_t c = 0; c <= characters; ++c) {
            offset += per_character[c];
            choice_offsets_.push_back(offset);
            per_character[c] = offset;  // from here on: the next free place of character c
        }
        choice_positions_.resize(offset);
        for (std::uint32_t p = 0; p < rules.size(); ++p) {
            for (const std::uint32_t character : listed(rules[p])) choice_positions_[per_character[character]++] = p;
        }
    }
}

// For the fill's prediction of which symbols can end where: rules by their second
// symbol, and each symbol's closure under "second right-hand symbol of".
void PreparedGrammar::index_right_contexts() {
    const std::size_t count = symbol_count();
    right_parent_begin_.assign(count + 1, 0);
    for (SymbolId lhs = 0; lhs < count; ++lhs) {
        for (const BinaryRule& rule : rules_of(lhs)) ++right_parent_begin_[rule.right + 1];
    }
    for (std::size_t s = 0; s < count; ++s) right_parent_begin_[s + 1] += right_parent_begin_[s];
    right_parents_.resize(right_parent_begin_[count]);
    std::vector<std::size_t> fill(right_parent_begin_.begin(), right_parent_begin_.end() - 1);
    // Left-hand sides in increasing order, so each symbol's entries come grouped.
    for (SymbolId lhs = 0; lhs < count; ++lhs) {
        for (const BinaryRule& rule : rules_of(lhs)) right_parents_[fill[rule.right]++] = {lhs, rule.left};
    }
    right_parent_lhs_count_.assign(count, 0);
    for (SymbolId s = 0; s < count; ++s) {
        const auto parents = rules_ending_with(s);
        for (std::size_t r = 0; r < parents.size(); ++r) {
            if (r == 0 || parents[r].lhs != parents[r - 1].lhs) ++right_parent_lhs_count_[s];
        }
    }

    // Closures take count^2 bits: very large grammars parse without prediction, as
    // do grammars whose closures do not settle in a few passes.
    if (count > kMostPredictedSymbols) return;
    symbol_words_ = (count + 63) / 64;
    right_closure_.assign(count * symbol_words_, 0);
    for (SymbolId s = 0; s < count; ++s) right_closure_[s * symbol_words_ + (s >> 6)] |= std::uint64_t{1} << (s & 63);
    right_parent_set_.assign(count * symbol_words_, 0);
    for (SymbolId s = 0; s < count; ++s) {
        for (const RightParent& parent : rules_ending_with(s)) {
            right_parent_set_[s * symbol_words_ + (parent.lhs >> 6)] |= std::uint64_t{1} << (parent.lhs & 63);
        }
    }
    int passes = 0;
    for (bool changed = true; changed; ++passes) {
        if (passes == kClosurePasses) {
            right_closure_.clear();
            right_parent_set_.clear();
            symbol_words_ = 0;
            return;
        }
        changed = false;
        for (SymbolId s = count; s-- > 0;) {
            std::uint64_t* into = right_closure_.data() + s * symbol_words_;
            for (const BinaryRule& rule : rules_of(s)) {
                const std::uint64_t* from = right_closure_.data() + rule.right * symbol_words_;
                for (std::size_t w = 0; w < symbol_words_; ++w) {
                    const std::uint64_t merged = into[w] | from[w];
                    if (merged != into[w]) into[w] = merged, changed = true;
                }
            }
        }
    }
}

// The characters that begin (end) a string of the start symbol are those of the
// symbols reachable from it through first (second) right-hand symbols.
void PreparedGrammar::mark_edge_characters() {
    const std::size_t characters = lexical_begin_.size() - 1;
    for (const bool first : {true, false}) {
        std::vector<char> reached(symbol_count(), 0);
        std::vector<SymbolId> work{start_};
        reached[start_] = 1;
        while (!work.empty()) {
            const SymbolId symbol = work.back();
            work.pop_back();
            for (const BinaryRule& rule : rules_of(symbol)) {
                const SymbolId corner = first ? rule.left : rule.right;
                if (!reached[corner]) reached[corner] = 1, work.push_back(corner);
            }
        }
        std::vector<char>& marks = first ? begins_ : ends_;
        marks.assign(characters, 0);
        for (std::uint32_t character = 0; character < characters; ++character) {
            for (const LexicalEntry& entry : lexical_entries(character)) {
                if (reached[entry.symbol]) marks[character] = 1;
            }
        }
    }
}

}  // namespace engine
