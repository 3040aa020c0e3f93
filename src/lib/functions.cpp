#include "functions.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "binding.hpp"
#include "conversion.hpp"
#include "fault_reporting.hpp"
#include "grammar/cnf_conversion.hpp"
#include "grammar/corpus_scoring.hpp"
#include "grammar/cyk_parser.hpp"
#include "grammar/recent_parser.hpp"
#include "recent_rules.hpp"
#include "induction/induction.hpp"
#include "results.hpp"

namespace engine::boundary {
namespace {

using Arguments = PyObject* const*;

constexpr std::array<const char*, 2> kToCnfTaggedParameters{"productions", "terminals"};
constexpr std::array<const char*, 3> kParseCnfParameters{"s", "cnf_rules", "start"};
constexpr std::array<const char*, 4> kGrammarBpcParameters{"productions", "corpus", "terminals", "start"};
constexpr std::array<const char*, 3> kInduceFullParameters{"corpus_train", "corpus_test", "alphabet"};

PyObject* to_cnf_tagged_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_call([&]() -> PyObject* {
        std::array<PyObject*, kToCnfTaggedParameters.size()> bound{};
        if (!bind_arguments({"to_cnf_tagged", kToCnfTaggedParameters}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        std::vector<Production> productions;
        if (!argument_converted("productions", convert_productions(bound[0], productions))) return nullptr;
        TerminalSet terminals;
        if (!argument_converted("terminals", convert_terminal_set(bound[1], terminals))) return nullptr;

        const auto outcome = to_cnf_tagged(productions, terminals);
        if (!outcome.ok()) {
            raise_internal_fault(outcome.fault());
            return nullptr;
        }
        return tagged_rules_result(outcome.value());
    });
}

PyObject* parse_cnf_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_call([&]() -> PyObject* {
        std::array<PyObject*, kParseCnfParameters.size()> bound{};
        if (!bind_arguments({"parse_cnf", kParseCnfParameters}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        // The texts point into the argument objects, which the caller keeps alive.
        std::string_view text;
        if (!argument_converted("s", convert_text(bound[0], text))) return nullptr;
        // Calls repeating a rule list reuse its conversion and its prepared parser.
        // The module lives in one interpreter, whose lock every call holds.
        static RecentRules recent_rules;
        static RecentParser recent_parser;
        const std::vector<TaggedRule>* rules = recent_rules.convert(bound[1]);
        if (!argument_converted("cnf_rules", rules != nullptr)) return nullptr;
        // Runs none of the caller's code, so `rules` stays as it is.
        std::string_view start;
        if (!argument_converted("start", convert_text(bound[2], start))) return nullptr;
        return parse_result(recent_parser.parse(text, *rules, start, recent_rules.version()));
    });
}

PyObject* grammar_bpc_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_call([&]() -> PyObject* {
        std::array<PyObject*, kGrammarBpcParameters.size()> bound{};
        if (!bind_arguments({"grammar_bpc", kGrammarBpcParameters}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        std::vector<Production> productions;
        if (!argument_converted("productions", convert_productions(bound[0], productions))) return nullptr;
        BorrowedTexts corpus;
        if (!argument_converted("corpus", convert_texts(bound[1], corpus))) return nullptr;
        TerminalSet terminals;
        if (!argument_converted("terminals", convert_terminal_set(bound[2], terminals))) return nullptr;
        std::string_view start;
        if (!argument_converted("start", convert_text(bound[3], start))) return nullptr;

        const auto outcome = grammar_bpc(productions, corpus.views(), terminals, start);
        if (!outcome.ok()) {
            raise_internal_fault(outcome.fault());
            return nullptr;
        }
        return metrics_result(outcome.value());
    });
}

PyObject* induce_full_function(PyObject*, Arguments args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_call([&]() -> PyObject* {
        std::array<PyObject*, kInduceFullParameters.size()> bound{};
        if (!bind_arguments({"induce_full", kInduceFullParameters}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        BorrowedTexts corpus_train;
        if (!argument_converted("corpus_train", convert_texts(bound[0], corpus_train))) return nullptr;
        BorrowedTexts corpus_test;
        if (!argument_converted("corpus_test", convert_texts(bound[1], corpus_test))) return nullptr;
        BorrowedTexts alphabet;
        if (!argument_converted("alphabet", convert_texts(bound[2], alphabet))) return nullptr;

        return induction_result(induce_full(corpus_train.views(), corpus_test.views(), alphabet.views()));
    });
}

// METH_FASTCALL | METH_KEYWORDS functions are stored as PyCFunction; the detour
// through a generic function pointer keeps the cast well-defined to the compiler.
template <class Function>
PyCFunction as_table_entry(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kCallConvention = METH_FASTCALL | METH_KEYWORDS;

// The docstrings are kept word for word on purpose: callers match on them.
// The first line of each docstring is the signature the interpreter exposes as
// __text_signature__; "--" and a blank line separate it from __doc__.
PyMethodDef function_table[] = {
    {"to_cnf_tagged", as_table_entry(to_cnf_tagged_function), kCallConvention,
     "to_cnf_tagged(productions, terminals)\n--\n\n"
     "Convertit des productions naturelles en CNF tagu\u00e9e."},
    {"parse_cnf", as_table_entry(parse_cnf_function), kCallConvention,
     "parse_cnf(s, cnf_rules, start)\n--\n\n"
     "Parse a string against CNF productions; returns the tag sequence or None."},
    {"grammar_bpc", as_table_entry(grammar_bpc_function), kCallConvention,
     "grammar_bpc(productions, corpus, terminals, start)\n--\n\n"
     "Score grammars on a corpus using the native fast path (avoids Python round-trips)."},
    {"induce_full", as_table_entry(induce_full_function), kCallConvention,
     "induce_full(corpus_train, corpus_test, alphabet)\n--\n\n"
     "Pipeline complet Quill : build 3 strategies + prune + score + retourne la meilleure."},
};

}  // namespace

std::span<PyMethodDef> module_functions() { return function_table; }

}  // namespace engine::boundary
