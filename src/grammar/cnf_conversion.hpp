// cnf_conversion.hpp — turns natural productions into tagged Chomsky-normal-form
// rules: pre-terminals once per terminal, left-branching chains, "_AUX" names.
#pragma once

#include <span>
#include <vector>

#include "grammar.hpp"
#include "outcome.hpp"

namespace engine {

inline constexpr const char* kEmptyRhsFault = "index out of bounds: the len is 0 but the index is 0";

// Rules come out in one pass over `productions`: per production, its new
// pre-terminal rules, then its chain rules innermost first, then its own rule.
// A production with an empty right-hand side faults the whole call.
Outcome<std::vector<TaggedRule>> to_cnf_tagged(std::span<const Production> productions,
                                               const TerminalSet& terminals);

}  // namespace engine
