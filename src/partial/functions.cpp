#include "functions.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "count_values.hpp"
#include "grammar/corpus_scoring.hpp"
#include "grammar/cyk_parser.hpp"
#include "induction/candidates.hpp"
#include "induction/corpus_stats.hpp"
#include "induction/pruning.hpp"
#include "induction/score_floor.hpp"
#include "induction/selection.hpp"
#include "lib/binding.hpp"
#include "lib/conversion.hpp"
#include "lib/fault_reporting.hpp"
#include "lib/results.hpp"
#include "released_interpreter.hpp"

namespace engine::partial {
namespace {

using Arguments = PyObject* const*;
using boundary::argument_converted;
using boundary::BorrowedTexts;
using boundary::PyRef;

constexpr std::array<const char*, 1> kPairStatsParameters{"lines"};
constexpr std::array<const char*, 1> kMergePairStatsParameters{"stats"};
constexpr std::array<const char*, 2> kCandidatesParameters{"stats", "alphabet"};
constexpr std::array<const char*, 4> kCountLinesParameters{"productions", "terminals", "start", "lines"};
constexpr std::array<const char*, 1> kMergeCountsParameters{"counts"};
constexpr std::array<const char*, 2> kPruneParameters{"productions", "counts"};
constexpr std::array<const char*, 3> kScoreMetricsParameters{"productions", "terminals", "counts"};
constexpr std::array<const char*, 4> kPruningFloorParameters{"productions", "terminals", "start", "counts"};
constexpr std::array<const char*, 2> kCannotBeatParameters{"floor", "best"};
constexpr std::array<const char*, 1> kSelectParameters{"scored"};
constexpr std::array<const char*, 3> kEstimateParseParameters{"cnf_rules", "start", "length"};

template <std::size_t N>
bool bind(const char* name, const std::array<const char*, N>& parameters, Arguments args, Py_ssize_t nargs,
          PyObject* kwnames, std::array<PyObject*, N>& bound) {
    return boundary::bind_arguments({name, parameters}, args, nargs, kwnames, bound);
}

// Counts that must describe the productions they are used with.
bool check_counts_fit(const DerivationCounts& counts, std::size_t production_count) {
    if (counts.uses.size() == production_count) return true;
    PyErr_Format(PyExc_ValueError, "the counts hold uses of %zu productions, but the grammar has %zu",
                 counts.uses.size(), production_count);
    return false;
}

PyObject* pair_stats_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary::guard_call([&]() -> PyObject* {
        std::array<PyObject*, kPairStatsParameters.size()> bound{};
        if (!bind("pair_stats", kPairStatsParameters, args, nargs, kwnames, bound)) return nullptr;
        BorrowedTexts lines;
        if (!argument_converted("lines", boundary::convert_texts(bound[0], lines))) return nullptr;

        CorpusStats stats;
        {
            const ReleasedInterpreter released;
            stats = collect_corpus_stats(lines.views());
        }
        return packed_stats_result(stats);
    });
}

PyObject* merge_pair_stats_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary::guard_call([&]() -> PyObject* {
        std::array<PyObject*, kMergePairStatsParameters.size()> bound{};
        if (!bind("merge_pair_stats", kMergePairStatsParameters, args, nargs, kwnames, bound)) return nullptr;
        std::vector<PackedPairStats> parts;
        const bool converted = boundary::convert_sequence(
            bound[0], [&](std::size_t count) { parts.reserve(count); },
            [&](PyRef item) {
                PackedPairStats packed;
                if (!convert_packed_stats(item.get(), packed)) return false;
                parts.push_back(std::move(packed));
                return true;
            });
        if (!argument_converted("stats", converted)) return nullptr;

        CorpusStats merged;
        {
            const ReleasedInterpreter released;
            for (const PackedPairStats& part : parts) merge_packed(part, merged);
        }
        return packed_stats_result(merged);
    });
}

PyObject* candidates_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary::guard_call([&]() -> PyObject* {
        std::array<PyObject*, kCandidatesParameters.size()> bound{};
        if (!bind("candidates", kCandidatesParameters, args, nargs, kwnames, bound)) return nullptr;
        PackedPairStats packed;
        if (!argument_converted("stats", convert_packed_stats(bound[0], packed))) return nullptr;
        BorrowedTexts alphabet;
        if (!argument_converted("alphabet", boundary::convert_texts(bound[1], alphabet))) return nullptr;

        CorpusStats stats;
        merge_packed(packed, stats);
        return candidates_result(build_candidates(stats, alphabet.views()));
    });
}

// derivation_counts and floor_counts: (productions, terminals, start, lines) in, the
// counts of the lines out, counted with the interpreter released.
template <class Count, class Result>
PyObject* count_lines(const char* name, Arguments args, Py_ssize_t nargs, PyObject* kwnames, const Count& count,
                      const Result& result) {
    return boundary::guard_call([&]() -> PyObject* {
        std::array<PyObject*, kCountLinesParameters.size()> bound{};
        if (!bind(name, kCountLinesParameters, args, nargs, kwnames, bound)) return nullptr;
        std::vector<Production> productions;
        if (!argument_converted("productions", boundary::convert_productions(bound[0], productions))) {
            return nullptr;
        }
        TerminalSet terminals;
        if (!argument_converted("terminals", boundary::convert_terminal_set(bound[1], terminals))) return nullptr;
        std::string_view start;
        if (!argument_converted("start", boundary::convert_text(bound[2], start))) return nullptr;
        BorrowedTexts lines;
        if (!argument_converted("lines", boundary::convert_texts(bound[3], lines))) return nullptr;

        std::optional<decltype(count(productions, lines.views(), terminals, start))> counts;
        {
            const ReleasedInterpreter released;
            counts.emplace(count(productions, lines.views(), terminals, start));
        }
        if (!counts->ok()) {
            boundary::raise_internal_fault(counts->fault());
            return nullptr;
        }
        return result(counts->value());
    });
}

// merge_derivation_counts and merge_floor_counts: the counts of runs over the same
// grammar, added up in order; `fits` checks each against the first.
template <class Counts, class Convert, class Fits, class Result>
PyObject* merge_counts(const char* name, Arguments args, Py_ssize_t nargs, PyObject* kwnames, const Convert& convert,
                       const Fits& fits, const Result& result) {
    return boundary::guard_call([&]() -> PyObject* {
        std::array<PyObject*, kMergeCountsParameters.size()> bound{};
        if (!bind(name, kMergeCountsParameters, args, nargs, kwnames, bound)) return nullptr;
        std::optional<Counts> merged;
        const bool converted = boundary::convert_sequence(
            bound[0], [](std::size_t) {},
            [&](PyRef item) {
                Counts part;
                if (!convert(item.get(), part)) return false;
                if (!merged) {
                    merged = std::move(part);
                    return true;
                }
                if (!fits(part, *merged)) return false;
                merged->add(part);
                return true;
            });
        if (!argument_converted("counts", converted)) return nullptr;
        return result(merged ? *merged : Counts{});
    });
}

PyObject* derivation_counts_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return count_lines("derivation_counts", args, nargs, kwnames, count_for_scoring, derivation_counts_result);
}

PyObject* merge_derivation_counts_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return merge_counts<DerivationCounts>(
        "merge_derivation_counts", args, nargs, kwnames, convert_derivation_counts,
        [](const DerivationCounts& part, const DerivationCounts& first) {
            return check_counts_fit(part, first.uses.size());
        },
        derivation_counts_result);
}

PyObject* prune_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary::guard_call([&]() -> PyObject* {
        std::array<PyObject*, kPruneParameters.size()> bound{};
        if (!bind("prune", kPruneParameters, args, nargs, kwnames, bound)) return nullptr;
        std::vector<Production> productions;
        if (!argument_converted("productions", boundary::convert_productions(bound[0], productions))) {
            return nullptr;
        }
        DerivationCounts counts;
        if (!argument_converted("counts", convert_derivation_counts(bound[1], counts))) return nullptr;
        if (!check_counts_fit(counts, productions.size())) return nullptr;
        return boundary::productions_result(prune_with_uses(productions, counts.uses));
    });
}

PyObject* score_metrics_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary::guard_call([&]() -> PyObject* {
        std::array<PyObject*, kScoreMetricsParameters.size()> bound{};
        if (!bind("score_metrics", kScoreMetricsParameters, args, nargs, kwnames, bound)) return nullptr;
        std::vector<Production> productions;
        if (!argument_converted("productions", boundary::convert_productions(bound[0], productions))) {
            return nullptr;
        }
        TerminalSet terminals;
        if (!argument_converted("terminals", boundary::convert_terminal_set(bound[1], terminals))) return nullptr;
        DerivationCounts counts;
        if (!argument_converted("counts", convert_derivation_counts(bound[2], counts))) return nullptr;
        if (!check_counts_fit(counts, productions.size())) return nullptr;
        return boundary::metrics_result(metrics_from_counts(productions, terminals.size(), counts));
    });
}

PyObject* floor_counts_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    // A lambda, as the count takes a visitor the binding leaves at its default.
    const auto count = [](std::span<const Production> productions, std::span<const std::string_view> lines,
                          const TerminalSet& terminals, std::string_view start) {
        return count_for_floor(productions, lines, terminals, start);
    };
    return count_lines("floor_counts", args, nargs, kwnames, count, floor_counts_result);
}

PyObject* merge_floor_counts_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return merge_counts<FloorCounts>(
        "merge_floor_counts", args, nargs, kwnames, convert_floor_counts,
        [](const FloorCounts& part, const FloorCounts& first) {
            if (!check_counts_fit(part.derivations, first.derivations.uses.size())) return false;
            if (part.key_occurrences.size() == first.key_occurrences.size()) return true;
            PyErr_Format(PyExc_ValueError, "the counts hold %zu key characters, but the first held %zu",
                         part.key_occurrences.size(), first.key_occurrences.size());
            return false;
        },
        floor_counts_result);
}

PyObject* pruning_floor_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary::guard_call([&]() -> PyObject* {
        std::array<PyObject*, kPruningFloorParameters.size()> bound{};
        if (!bind("pruning_floor", kPruningFloorParameters, args, nargs, kwnames, bound)) return nullptr;
        std::vector<Production> productions;
        if (!argument_converted("productions", boundary::convert_productions(bound[0], productions))) {
            return nullptr;
        }
        TerminalSet terminals;
        if (!argument_converted("terminals", boundary::convert_terminal_set(bound[1], terminals))) return nullptr;
        std::string_view start;
        if (!argument_converted("start", boundary::convert_text(bound[2], start))) return nullptr;
        FloorCounts counts;
        if (!argument_converted("counts", convert_floor_counts(bound[3], counts))) return nullptr;
        if (!check_counts_fit(counts.derivations, productions.size())) return nullptr;
        return PyFloat_FromDouble(pruning_floor(productions, terminals, start, counts));
    });
}

// A float, or an int taken as one.
bool convert_real(PyObject* object, double& value) {
    if (!PyFloat_Check(object) && !PyLong_Check(object)) {
        boundary::raise_refusal(object, "float");
        return false;
    }
    value = PyFloat_AsDouble(object);
    return !(value == -1.0 && PyErr_Occurred());
}

PyObject* cannot_beat_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary::guard_call([&]() -> PyObject* {
        std::array<PyObject*, kCannotBeatParameters.size()> bound{};
        if (!bind("cannot_beat", kCannotBeatParameters, args, nargs, kwnames, bound)) return nullptr;
        double floor = 0.0;
        double best = 0.0;
        if (!argument_converted("floor", convert_real(bound[0], floor))) return nullptr;
        if (!argument_converted("best", convert_real(bound[1], best))) return nullptr;
        return PyBool_FromLong(cannot_beat(floor, best) ? 1 : 0);
    });
}

PyObject* select_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary::guard_call([&]() -> PyObject* {
        std::array<PyObject*, kSelectParameters.size()> bound{};
        if (!bind("select", kSelectParameters, args, nargs, kwnames, bound)) return nullptr;
        std::vector<ScoredCandidate> scored;
        if (!argument_converted("scored", convert_scored_candidates(bound[0], scored))) return nullptr;
        return boundary::induction_result(select_best(std::move(scored)));
    });
}

// A string length: a non-negative int.
bool convert_length(PyObject* object, std::size_t& length) {
    if (!PyLong_Check(object)) {
        boundary::raise_refusal(object, "int");
        return false;
    }
    const std::size_t value = PyLong_AsSize_t(object);
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
    length = value;
    return true;
}

PyObject* estimate_parse_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary::guard_call([&]() -> PyObject* {
        std::array<PyObject*, kEstimateParseParameters.size()> bound{};
        if (!bind("estimate_parse", kEstimateParseParameters, args, nargs, kwnames, bound)) return nullptr;
        std::vector<TaggedRule> rules;
        if (!argument_converted("cnf_rules", boundary::convert_tagged_rules(bound[0], rules))) return nullptr;
        std::string_view start;
        if (!argument_converted("start", boundary::convert_text(bound[1], start))) return nullptr;
        std::size_t length = 0;
        if (!argument_converted("length", convert_length(bound[2], length))) return nullptr;

        ChartEstimate estimate;
        {
            const ReleasedInterpreter released;
            estimate = estimate_parse(rules, start, length);
        }
        return Py_BuildValue("(ddd)", estimate.table_bytes, estimate.worst_row_bytes, estimate.worst_seconds);
    });
}

template <class Function>
PyCFunction as_table_entry(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kCallConvention = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef function_table[] = {
    {"pair_stats", as_table_entry(pair_stats_function), kCallConvention,
     "pair_stats(lines)\n--\n\n"
     "Character-pair counts of a run of lines, packed: (boundary bytes, bigram bytes)."},
    {"merge_pair_stats", as_table_entry(merge_pair_stats_function), kCallConvention,
     "merge_pair_stats(stats)\n--\n\n"
     "Merges packed pair counts of consecutive runs, given in run order."},
    {"candidates", as_table_entry(candidates_function), kCallConvention,
     "candidates(stats, alphabet)\n--\n\n"
     "The candidate grammars of merged pair counts: [(strategy, productions, start)]."},
    {"derivation_counts", as_table_entry(derivation_counts_function), kCallConvention,
     "derivation_counts(productions, terminals, start, lines)\n--\n\n"
     "Production uses, parse failures, failed bytes and bytes of a run of lines."},
    {"merge_derivation_counts", as_table_entry(merge_derivation_counts_function), kCallConvention,
     "merge_derivation_counts(counts)\n--\n\n"
     "Adds up derivation counts of runs of lines over the same grammar."},
    {"prune", as_table_entry(prune_function), kCallConvention,
     "prune(productions, counts)\n--\n\n"
     "The productions kept after pruning by the uses in merged derivation counts."},
    {"score_metrics", as_table_entry(score_metrics_function), kCallConvention,
     "score_metrics(productions, terminals, counts)\n--\n\n"
     "The scoring metrics dict of a grammar from the derivation counts of a whole corpus."},
    {"floor_counts", as_table_entry(floor_counts_function), kCallConvention,
     "floor_counts(productions, terminals, start, lines)\n--\n\n"
     "Derivation counts of a run of lines, with the characters of the lines that parsed\n"
     "that a floor under the scores of the grammar's prunings needs."},
    {"merge_floor_counts", as_table_entry(merge_floor_counts_function), kCallConvention,
     "merge_floor_counts(counts)\n--\n\n"
     "Adds up floor counts of runs of lines over the same grammar."},
    {"pruning_floor", as_table_entry(pruning_floor_function), kCallConvention,
     "pruning_floor(productions, terminals, start, counts)\n--\n\n"
     "A bpc no pruning of the grammar can score below (unrounded) on the corpus of the merged\n"
     "floor counts; compare it with a rounded score through cannot_beat."},
    {"cannot_beat", as_table_entry(cannot_beat_function), kCallConvention,
     "cannot_beat(floor, best)\n--\n\n"
     "Whether a candidate scoring at least `floor` can never be chosen over one scoring `best`."},
    {"select", as_table_entry(select_function), kCallConvention,
     "select(scored)\n--\n\n"
     "The induction result dict for [(strategy, pruned productions, bpc)]: the lowest bpc wins."},
    {"estimate_parse", as_table_entry(estimate_parse_function), kCallConvention,
     "estimate_parse(cnf_rules, start, length)\n--\n\n"
     "Cost bounds of parsing `length` characters with tagged CNF rules, before parsing:\n"
     "(table bytes, taken for sure; row bytes and seconds if every span were derivable)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::span<PyMethodDef> module_functions() { return function_table; }

}  // namespace engine::partial
