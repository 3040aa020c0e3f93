// naive_module.cpp — the `_naive_engine` extension module: the plain reference engine
// behind the same four functions and Python shapes as `_engine`, for well-formed input.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <memory>
#include <stdexcept>

#include "plain_engine.hpp"

namespace {

struct Release {
    void operator()(PyObject* object) const { Py_XDECREF(object); }
};
using Ref = std::unique_ptr<PyObject, Release>;

// Thrown when a Python conversion failed and left an exception set.
struct PythonError {};

// The value of a reference operation that fails only on an empty right-hand side.
template <class Value>
Value converted(std::optional<Value> value) {
    if (!value) throw std::out_of_range("index out of bounds: the len is 0 but the index is 0");
    return std::move(*value);
}

std::string to_string(PyObject* object) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) throw PythonError{};
    return std::string(data, static_cast<std::size_t>(size));
}

// Calls `each` on every item of a sequence (borrowed references).
template <typename Each>
void for_each_item(PyObject* sequence, Each&& each) {
    const Ref fast(PySequence_Fast(sequence, "expected a sequence"));
    if (!fast) throw PythonError{};
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(fast.get());
    for (Py_ssize_t i = 0; i < size; ++i) each(PySequence_Fast_GET_ITEM(fast.get(), i));
}

std::vector<std::string> to_strings(PyObject* sequence) {
    std::vector<std::string> out;
    for_each_item(sequence, [&](PyObject* item) { out.push_back(to_string(item)); });
    return out;
}

reference::NameSet to_name_set(PyObject* set) {
    reference::NameSet out;
    const Ref iterator(PyObject_GetIter(set));
    if (!iterator) throw PythonError{};
    while (PyObject* item = PyIter_Next(iterator.get())) {
        const Ref owned(item);
        out.insert(to_string(item));
    }
    if (PyErr_Occurred()) throw PythonError{};
    return out;
}

std::vector<reference::Production> to_productions(PyObject* sequence) {
    std::vector<reference::Production> out;
    for_each_item(sequence, [&](PyObject* item) {
        out.push_back(reference::Production{to_string(PyTuple_GetItem(item, 0)), to_strings(PyTuple_GetItem(item, 1))});
    });
    return out;
}

std::vector<reference::TaggedRule> to_rules(PyObject* sequence) {
    std::vector<reference::TaggedRule> out;
    for_each_item(sequence, [&](PyObject* item) {
        const long tag = PyLong_AsLong(PyTuple_GetItem(item, 2));
        if (tag == -1 && PyErr_Occurred()) throw PythonError{};
        out.push_back(reference::TaggedRule{to_string(PyTuple_GetItem(item, 0)), to_strings(PyTuple_GetItem(item, 1)),
                                        static_cast<std::int32_t>(tag)});
    });
    return out;
}

PyObject* new_str(const std::string& text) {
    PyObject* object = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (object == nullptr) throw PythonError{};
    return object;
}

PyObject* new_str_list(const std::vector<std::string>& items) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) throw PythonError{};
    for (std::size_t i = 0; i < items.size(); ++i) PyList_SET_ITEM(list.get(), i, new_str(items[i]));
    return list.release();
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
    const Ref owned(value);
    if (value == nullptr || PyDict_SetItemString(dict, key, value) < 0) throw PythonError{};
}

// Runs one function body, turning C++ failures into Python exceptions.
template <typename Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return nullptr;
    }
}

PyObject* py_to_cnf_tagged(PyObject*, PyObject* args) {
    PyObject *productions, *terminals;
    if (!PyArg_ParseTuple(args, "OO", &productions, &terminals)) return nullptr;
    return guarded([&]() -> PyObject* {
        const auto rules = converted(reference::to_cnf_tagged(to_productions(productions), to_name_set(terminals)));
        Ref list(PyList_New(static_cast<Py_ssize_t>(rules.size())));
        if (!list) throw PythonError{};
        for (std::size_t i = 0; i < rules.size(); ++i) {
            PyObject* rhs = new_str_list(rules[i].rhs);
            PyObject* tuple = Py_BuildValue("(NNi)", new_str(rules[i].lhs), rhs, rules[i].tag);
            if (tuple == nullptr) throw PythonError{};
            PyList_SET_ITEM(list.get(), i, tuple);
        }
        return list.release();
    });
}

PyObject* py_parse_cnf(PyObject*, PyObject* args) {
    PyObject *text, *rules, *start;
    if (!PyArg_ParseTuple(args, "OOO", &text, &rules, &start)) return nullptr;
    return guarded([&]() -> PyObject* {
        const auto tags = reference::parse_cnf(to_string(text), to_rules(rules), to_string(start));
        if (!tags) Py_RETURN_NONE;
        Ref list(PyList_New(static_cast<Py_ssize_t>(tags->size())));
        if (!list) throw PythonError{};
        for (std::size_t i = 0; i < tags->size(); ++i) {
            PyObject* value = PyLong_FromLong((*tags)[i]);
            if (value == nullptr) throw PythonError{};
            PyList_SET_ITEM(list.get(), i, value);
        }
        return list.release();
    });
}

PyObject* py_grammar_bpc(PyObject*, PyObject* args) {
    PyObject *productions, *corpus, *terminals, *start;
    if (!PyArg_ParseTuple(args, "OOOO", &productions, &corpus, &terminals, &start)) return nullptr;
    return guarded([&]() -> PyObject* {
        const reference::Metrics metrics = converted(reference::grammar_bpc(
            to_productions(productions), to_strings(corpus), to_name_set(terminals), to_string(start)));
        Ref dict(PyDict_New());
        if (!dict) throw PythonError{};
        set_item(dict.get(), "bpc_with_lib", PyFloat_FromDouble(metrics.bpc_with_lib));
        if (metrics.l_library) set_item(dict.get(), "l_library", PyFloat_FromDouble(*metrics.l_library));
        if (metrics.l_data) set_item(dict.get(), "l_data", PyFloat_FromDouble(*metrics.l_data));
        set_item(dict.get(), "parse_failures", PyFloat_FromDouble(metrics.parse_failures));
        if (metrics.total_decisions) {
            set_item(dict.get(), "total_decisions", PyFloat_FromDouble(*metrics.total_decisions));
        }
        return dict.release();
    });
}

PyObject* py_induce_full(PyObject*, PyObject* args) {
    PyObject *corpus_train, *corpus_test, *alphabet;
    if (!PyArg_ParseTuple(args, "OOO", &corpus_train, &corpus_test, &alphabet)) return nullptr;
    return guarded([&]() -> PyObject* {
        const reference::InductionResult result =
            reference::induce_full(to_strings(corpus_train), to_strings(corpus_test), to_strings(alphabet));
        Ref dict(PyDict_New());
        if (!dict) throw PythonError{};
        set_item(dict.get(), "strategy", new_str(result.strategy));
        set_item(dict.get(), "bpc", PyFloat_FromDouble(result.bpc));
        Ref grammar(PyList_New(0));
        Ref productions(PyList_New(0));
        if (!grammar || !productions) throw PythonError{};
        for (const reference::Production& production : result.productions) {
            std::string rendered = production.lhs + "->";
            for (const std::string& symbol : production.rhs) rendered += symbol;
            const Ref text(new_str(rendered));
            const Ref pair(Py_BuildValue("(NN)", new_str(production.lhs), new_str_list(production.rhs)));
            if (!pair || PyList_Append(grammar.get(), text.get()) < 0 ||
                PyList_Append(productions.get(), pair.get()) < 0) {
                throw PythonError{};
            }
        }
        set_item(dict.get(), "grammar", grammar.release());
        set_item(dict.get(), "productions", productions.release());
        return dict.release();
    });
}

PyMethodDef methods[] = {
    {"to_cnf_tagged", py_to_cnf_tagged, METH_VARARGS, "to_cnf_tagged(productions, terminals)"},
    {"parse_cnf", py_parse_cnf, METH_VARARGS, "parse_cnf(s, cnf_rules, start)"},
    {"grammar_bpc", py_grammar_bpc, METH_VARARGS, "grammar_bpc(productions, corpus, terminals, start)"},
    {"induce_full", py_induce_full, METH_VARARGS, "induce_full(corpus_train, corpus_test, alphabet)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_naive_engine", "Plain reference implementation used by the benchmarks.", 0, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__naive_engine() { return PyModule_Create(&module_definition); }
