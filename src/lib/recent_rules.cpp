#include "recent_rules.hpp"

#include <cstddef>
#include <string_view>
#include <utility>

#include "conversion.hpp"

namespace engine::boundary {
namespace {

PyObject* item_of(PyObject* sequence, Py_ssize_t i) noexcept {
    return PyList_CheckExact(sequence) ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i);
}

bool is_exact_sequence(PyObject* object) noexcept { return PyList_CheckExact(object) || PyTuple_CheckExact(object); }

// Whether `object` is an exact str whose UTF-8 text is `text`.
bool same_text(PyObject* object, std::string_view text) noexcept {
    if (!PyUnicode_CheckExact(object)) return false;
    Py_ssize_t size = 0;
    const char* const data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) {
        PyErr_Clear();  // no UTF-8 form: the conversion will say so
        return false;
    }
    return std::string_view(data, static_cast<std::size_t>(size)) == text;
}

}  // namespace

bool RecentRules::equals_held(PyObject* object) const noexcept {
    // Before any conversion the held list is empty, as an empty list converts.
    if (!is_exact_sequence(object) || static_cast<std::size_t>(Py_SIZE(object)) != rules_.size()) {
        return false;
    }
    for (std::size_t r = 0; r < rules_.size(); ++r) {
        const TaggedRule& held = rules_[r];
        PyObject* const rule = item_of(object, static_cast<Py_ssize_t>(r));
        if (!PyTuple_CheckExact(rule) || PyTuple_GET_SIZE(rule) != 3) return false;
        if (!same_text(PyTuple_GET_ITEM(rule, 0), held.lhs)) return false;
        PyObject* const rhs = PyTuple_GET_ITEM(rule, 1);
        if (!is_exact_sequence(rhs) || static_cast<std::size_t>(Py_SIZE(rhs)) != held.rhs.size()) return false;
        for (std::size_t s = 0; s < held.rhs.size(); ++s) {
            if (!same_text(item_of(rhs, static_cast<Py_ssize_t>(s)), held.rhs[s])) return false;
        }
        PyObject* const tag = PyTuple_GET_ITEM(rule, 2);
        if (!PyLong_CheckExact(tag)) return false;
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(tag, &overflow);
        if (overflow != 0 || value != held.tag) return false;
    }
    return true;
}

const std::vector<TaggedRule>* RecentRules::convert(PyObject* object) {
    if (equals_held(object)) return &rules_;
    std::vector<TaggedRule> rules;
    if (!convert_tagged_rules(object, rules)) return nullptr;
    rules_ = std::move(rules);
    ++version_;
    return &rules_;
}

}  // namespace engine::boundary
