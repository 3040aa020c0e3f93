// results.hpp — builds the Python objects the native functions return from the
// cores' results; a failure to create one raises PanicException.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "grammar/corpus_scoring.hpp"
#include "grammar/grammar.hpp"
#include "induction/induction.hpp"

namespace engine::boundary {

// Each returns a new reference, or null with PanicException set ("Python API call
// failed") after the interpreter's own error has been printed to stderr.

// list of (lhs str, list of rhs str), in production order.
PyObject* productions_result(std::span<const Production> productions);
// list of (lhs str, list of rhs str, tag int), in rule order.
PyObject* tagged_rules_result(std::span<const TaggedRule> rules);
// list of int, or None when there is no parse.
PyObject* parse_result(const std::optional<std::vector<std::int32_t>>& tags);
// dict from metric name to float, in the metrics' fixed key order.
PyObject* metrics_result(const ScoreMetrics& metrics);
// dict with "strategy", "bpc", "grammar" and "productions", in that order.
PyObject* induction_result(const InductionResult& result);

}  // namespace engine::boundary
