// count_values.hpp — the plain Python forms of the counts that travel between
// processes (pair statistics as bytes, derivation counts as ints) and the way back.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>
#include <vector>

#include "grammar/derivation_counts.hpp"
#include "induction/candidates.hpp"
#include "induction/corpus_stats.hpp"
#include "induction/score_floor.hpp"
#include "induction/selection.hpp"
#include "lib/py_ref.hpp"

namespace engine::partial {

// Pair statistics travel as a tuple (boundary, bigram) of two bytes objects, each
// a run of 16-byte entries in first-counted order: the pair key, then its count,
// both unsigned 64-bit little-endian.
inline constexpr std::size_t kPackedEntrySize = 16;

// The two byte runs of a packed statistics tuple, borrowed from the bytes objects
// `owner` keeps alive; readable without the interpreter lock.
struct PackedPairStats {
    boundary::PyRef owner;
    std::string_view boundary_counts;
    std::string_view bigram_counts;
};

// Each returns false with a Python exception set when `object` has the wrong shape:
// TypeError for a wrong type, ValueError for a wrong length, OverflowError for an
// int outside 0..2**64-1.
[[nodiscard]] bool convert_packed_stats(PyObject* object, PackedPairStats& packed);
// A tuple (uses: list of int, parse_failures, failed_bytes, corpus_bytes).
[[nodiscard]] bool convert_derivation_counts(PyObject* object, DerivationCounts& counts);
// A tuple (derivation counts as above, parsed_characters, key_occurrences: list of int).
[[nodiscard]] bool convert_floor_counts(PyObject* object, FloorCounts& counts);
// A sequence of (strategy str, productions, bpc float).
[[nodiscard]] bool convert_scored_candidates(PyObject* object, std::vector<ScoredCandidate>& scored);

// Counts the packed entries into `stats` after the ones it holds (PairCounts::merge).
void merge_packed(const PackedPairStats& packed, CorpusStats& stats);

// New references, or null with PanicException set.
PyObject* packed_stats_result(const CorpusStats& stats);
PyObject* derivation_counts_result(const DerivationCounts& counts);
PyObject* floor_counts_result(const FloorCounts& counts);
// list of (strategy str, list of (lhs, list of rhs), start str), in candidate order.
PyObject* candidates_result(std::span<const CandidateGrammar> candidates);

}  // namespace engine::partial
