#include "score_floor.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "grammar/cnf_conversion.hpp"
#include "grammar/corpus_scoring.hpp"
#include "grammar/cyk_parser.hpp"
#include "grammar/utf8.hpp"
#include "pruning.hpp"

namespace engine {

namespace {

// The conversion names its own symbols with this prefix.
constexpr std::string_view kConversionPrefix = "_AUX";

double times_log2(std::uint64_t count) {
    return count == 0 ? 0.0 : static_cast<double>(count) * std::log2(static_cast<double>(count));
}

// The fewest bits, over every number u of uses ending with one of the characters,
// of: spelling out the characters that u uses of at most `per_use` characters each
// cannot have derived, plus the least code length of u uses when no more of them
// end with a character than it occurs (`caps`). The least code length, u log u minus
// the sum of c log c over the counts c per character, comes from filling the most
// frequent characters first: those counts are the most concentrated possible.
// Between two characters' fills it is concave in u and the spelling linear, and once
// nothing is left to spell it does not decrease, so the least sum lies at u = 0, at
// the end of a fill, or where the spelling runs out.
double least_derivation_bits(std::vector<std::uint64_t> caps, std::uint64_t characters, std::size_t per_use,
                             double spell_bits) {
    std::sort(caps.begin(), caps.end(), std::greater<>());
    const std::uint64_t spent_below = characters / per_use;                   // all spelled out up to here
    const std::uint64_t spent_at = spent_below + (characters % per_use != 0);  // and none from here on
    const auto bits = [&](std::uint64_t uses, double concentration) {
        const std::uint64_t derived = std::min<std::uint64_t>(characters, uses * per_use);
        return static_cast<double>(characters - derived) * spell_bits + times_log2(uses) - concentration;
    };
    double least = bits(0, 0.0);
    std::uint64_t filled = 0;
    double concentration = 0.0;
    for (const std::uint64_t cap : caps) {
        if (cap == 0) break;
        for (const std::uint64_t uses : {spent_below, spent_at}) {
            if (uses > filled && uses < filled + cap) {
                least = std::min(least, bits(uses, concentration + times_log2(uses - filled)));
            }
        }
        filled += cap;
        concentration += times_log2(cap);
        least = std::min(least, bits(filled, concentration));
        if (filled >= spent_at) break;
    }
    return least;
}

}  // namespace

FloorKeys floor_keys(std::span<const Production> productions, const TerminalSet& terminals,
                     std::string_view start) {
    FloorKeys keys;
    keys.failures_carry_over = !start.starts_with(kConversionPrefix);
    bool bounded = true;
    std::size_t most = 0;
    for (const Production& production : productions) {
        if (production.lhs.starts_with(kConversionPrefix)) keys.failures_carry_over = false;
        // The walk stops under a rule whose second symbol is the empty string: one
        // that derives something, or stands in a right-hand side of several symbols.
        if (production.lhs.empty()) bounded = false;
        for (const Symbol& symbol : production.rhs) {
            if (symbol.starts_with(kConversionPrefix)) keys.failures_carry_over = false;
            if (symbol.empty() && production.rhs.size() > 1) bounded = false;
        }
        // The characters one use derives itself: a right-hand side of one symbol
        // is matched as a character; in a longer one each terminal is. A symbol
        // that is not one character never matches, and its production never applies.
        std::size_t own = 0;
        std::uint32_t last = 0;
        bool applies = true;
        if (production.rhs.size() == 1) {
            applies = utf8::single_code_point(production.rhs[0], last);
            own = 1;
        } else {
            for (const Symbol& symbol : production.rhs) {
                std::uint32_t character = 0;
                if (!terminals.contains(symbol)) continue;
                if (!utf8::single_code_point(symbol, character)) applies = false;
                ++own;
            }
            if (applies && own > 0) {
                if (terminals.contains(production.rhs.back())) {
                    utf8::single_code_point(production.rhs.back(), last);
                } else {
                    bounded = false;
                }
            }
        }
        if (!applies || own == 0) continue;
        keys.characters.push_back(last);
        most = std::max(most, own);
    }
    std::sort(keys.characters.begin(), keys.characters.end());
    keys.characters.erase(std::unique(keys.characters.begin(), keys.characters.end()), keys.characters.end());
    keys.most_per_use = bounded ? most : 0;
    return keys;
}

void FloorCounts::add(const FloorCounts& other) {
    derivations.add(other.derivations);
    parsed_characters += other.parsed_characters;
    if (key_occurrences.size() < other.key_occurrences.size()) key_occurrences.resize(other.key_occurrences.size(), 0);
    for (std::size_t i = 0; i < other.key_occurrences.size(); ++i) key_occurrences[i] += other.key_occurrences[i];
}

Outcome<FloorCounts> count_for_floor(std::span<const Production> productions,
                                     std::span<const std::string_view> corpus,
                                     const TerminalSet& terminals, std::string_view start,
                                     const StringVisitor& visit) {
    Outcome<std::vector<TaggedRule>> converted = to_cnf_tagged(productions, terminals);
    if (!converted.ok()) return converted.fault();
    CykParser parser(converted.value(), start);
    const std::vector<std::uint32_t> keys = floor_keys(productions, terminals, start).characters;
    FloorCounts counts;
    counts.key_occurrences.assign(keys.size(), 0);
    std::vector<std::uint64_t> in_string(keys.size(), 0);
    counts.derivations = count_derivations(
        parser, productions.size(), corpus, [&](std::string_view text, std::uint64_t occurrences, bool parsed) {
            if (parsed) {
                std::fill(in_string.begin(), in_string.end(), 0);
                std::uint64_t characters = 0;
                for (std::size_t pos = 0; pos < text.size(); ++characters) {
                    const std::uint32_t character = utf8::next_code_point(text, pos);
                    const auto found = std::lower_bound(keys.begin(), keys.end(), character);
                    if (found != keys.end() && *found == character) ++in_string[found - keys.begin()];
                }
                counts.parsed_characters += characters * occurrences;
                for (std::size_t k = 0; k < keys.size(); ++k) counts.key_occurrences[k] += in_string[k] * occurrences;
            }
            return !visit || visit(text, occurrences, parsed);
        });
    return counts;
}

double library_floor(std::span<const Production> productions, const TerminalSet& terminals) {
    std::vector<Production> kept;
    for (const Production& production : productions) {
        if (production.rhs.size() <= kProtectedRhsLen) kept.push_back(production);
    }
    // Fewer left-hand sides only make each symbol cheaper, so the kept productions'
    // own count of them gives a floor.
    return grammar_cost(kept, terminals.size());
}

double pruning_floor(std::span<const Production> productions, const TerminalSet& terminals,
                     std::string_view start, const FloorCounts& counts) {
    const DerivationCounts& derivations = counts.derivations;
    if (derivations.corpus_bytes == 0) return std::numeric_limits<double>::infinity();
    double bits = library_floor(productions, terminals);
    const FloorKeys keys = floor_keys(productions, terminals, start);
    if (keys.failures_carry_over) {
        const double spell_bits = spelling_bits(terminals.size());
        bits += static_cast<double>(derivations.failed_bytes) * spell_bits;
        if (keys.most_per_use > 0 && counts.key_occurrences.size() == keys.characters.size()) {
            bits += least_derivation_bits(counts.key_occurrences, counts.parsed_characters, keys.most_per_use,
                                          spell_bits);
        }
    }
    return bits / static_cast<double>(derivations.corpus_bytes);
}

}  // namespace engine
