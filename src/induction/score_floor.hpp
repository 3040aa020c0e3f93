// score_floor.hpp — a floor under the test score that any pruning of a candidate can
// reach, from one parse of the test corpus with the whole candidate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "grammar/derivation_counts.hpp"
#include "grammar/grammar.hpp"
#include "grammar/outcome.hpp"

namespace engine {

// A pruning keeps every short production and some of the others, so it derives
// no string the whole candidate does not: the whole candidate's failures are
// failures of every pruning. And where each production's use derives a fixed
// number of characters itself, ending with a fixed one (S -> a S b ends with b),
// the uses in a pruning's derivations can be no more concentrated than the
// characters at those ends allow, which bounds their code length from below.
struct FloorKeys {
    // The distinct characters that end the productions deriving characters, in
    // increasing order.
    std::vector<std::uint32_t> characters;
    // Most characters one use of a production derives itself; 0 when some
    // production that derives characters itself ends with a symbol that is not one,
    // or when the walk may leave uses unreported (the empty string as a symbol), so
    // that derivations give no bound.
    std::size_t most_per_use = 0;
    // False when some symbol, the start included, could be taken for one the
    // conversion makes, so that a pruning might convert differently: then neither
    // failures nor derivations carry over, and only the grammar's cost is a floor.
    bool failures_carry_over = true;
};

FloorKeys floor_keys(std::span<const Production> productions, const TerminalSet& terminals, std::string_view start);

// What the parse of a run of strings with the whole candidate shows. Counts of
// consecutive runs add up, in any grouping.
struct FloorCounts {
    DerivationCounts derivations;
    // Characters (code points) of the strings that parsed, and how many of them
    // are each of FloorKeys::characters, in that order.
    std::uint64_t parsed_characters = 0;
    std::vector<std::uint64_t> key_occurrences;

    void add(const FloorCounts& other);

    friend bool operator==(const FloorCounts&, const FloorCounts&) = default;
};

// Faults only where the conversion does (a production with an empty right-hand side).
// `visit` sees each distinct string once it is counted, as count_derivations says;
// the counts then cover the strings up to the one it stopped at.
Outcome<FloorCounts> count_for_floor(std::span<const Production> productions,
                                     std::span<const std::string_view> corpus,
                                     const TerminalSet& terminals, std::string_view start,
                                     const StringVisitor& visit = {});

// What every pruning's productions cost at least: those it always keeps, in bits.
double library_floor(std::span<const Production> productions, const TerminalSet& terminals);

// A value the unrounded "bpc_with_lib" of no grammar made of all the productions of
// at most two right-hand symbols and any of the others (with the same start) can fall
// below, on the corpus the counts are of; +infinity when the corpus holds no text.
// Compare it with a rounded score through cannot_beat.
double pruning_floor(std::span<const Production> productions, const TerminalSet& terminals,
                     std::string_view start, const FloorCounts& counts);

}  // namespace engine
