#include "results.hpp"

#include <iterator>
#include <string_view>
#include <utility>

#include "fault_reporting.hpp"
#include "py_ref.hpp"

namespace engine::boundary {
namespace {

// The helpers return an empty PyRef with the interpreter's exception set on failure.

PyRef text_object(std::string_view text) {
    return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef symbol_list(std::span<const Symbol> symbols) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(symbols.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        PyRef item = text_object(symbols[i]);
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

// A new tuple taking over `items`, which must all have been built.
template <class... Items>
PyRef tuple_of(Items... items) {
    PyRef tuple = PyRef::steal(PyTuple_New(sizeof...(Items)));
    if (!tuple) return {};
    Py_ssize_t index = 0;
    ((PyTuple_SET_ITEM(tuple.get(), index++, items.release())), ...);
    return tuple;
}

// A new list with one element per item, made by `make_element`.
template <class Items, class MakeElement>
PyRef list_of(const Items& items, MakeElement make_element) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!list) return {};
    Py_ssize_t index = 0;
    for (const auto& item : items) {
        PyRef element = make_element(item);
        if (!element) return {};
        PyList_SET_ITEM(list.get(), index++, element.release());
    }
    return list;
}

bool set_entry(PyObject* dict, std::string_view key, PyRef value) {
    if (!value) return false;
    const PyRef key_object = text_object(key);
    return key_object && PyDict_SetItem(dict, key_object.get(), value.get()) == 0;
}

PyRef production_list(std::span<const Production> productions) {
    return list_of(productions, [](const Production& production) -> PyRef {
        PyRef lhs = text_object(production.lhs);
        if (!lhs) return {};
        PyRef rhs = symbol_list(production.rhs);
        if (!rhs) return {};
        return tuple_of(std::move(lhs), std::move(rhs));
    });
}

PyObject* finish(PyRef result) {
    if (!result) raise_result_failure();
    return result.release();
}

}  // namespace

PyObject* productions_result(std::span<const Production> productions) {
    return finish(production_list(productions));
}

PyObject* tagged_rules_result(std::span<const TaggedRule> rules) {
    return finish(list_of(rules, [](const TaggedRule& rule) -> PyRef {
        PyRef lhs = text_object(rule.lhs);
        if (!lhs) return {};
        PyRef rhs = symbol_list(rule.rhs);
        if (!rhs) return {};
        PyRef tag = PyRef::steal(PyLong_FromLong(rule.tag));
        if (!tag) return {};
        return tuple_of(std::move(lhs), std::move(rhs), std::move(tag));
    }));
}

PyObject* parse_result(const std::optional<std::vector<std::int32_t>>& tags) {
    if (!tags) Py_RETURN_NONE;
    return finish(list_of(*tags, [](std::int32_t tag) { return PyRef::steal(PyLong_FromLong(tag)); }));
}

PyObject* metrics_result(const ScoreMetrics& metrics) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (dict) {
        for (const auto& [key, value] : metrics.entries()) {
            if (!set_entry(dict.get(), key, PyRef::steal(PyFloat_FromDouble(value)))) {
                dict = PyRef();
                break;
            }
        }
    }
    return finish(std::move(dict));
}

PyObject* induction_result(const InductionResult& result) {
    PyRef dict = PyRef::steal(PyDict_New());
    const bool built =
        dict && set_entry(dict.get(), "strategy", text_object(result.strategy)) &&
        set_entry(dict.get(), "bpc", PyRef::steal(PyFloat_FromDouble(result.bpc))) &&
        set_entry(dict.get(), "grammar",
                  list_of(result.productions,
                          [](const Production& production) { return text_object(render_production(production)); })) &&
        set_entry(dict.get(), "productions", production_list(result.productions));
    if (!built) dict = PyRef();
    return finish(std::move(dict));
}

}  // namespace engine::boundary
