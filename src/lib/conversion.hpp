// conversion.hpp — turns Python arguments into engine values, one function per
// argument kind, the sequence and tuple rules they share, and the rule that
// prefixes a TypeError with the argument's name.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "grammar/grammar.hpp"
#include "py_ref.hpp"

namespace engine::boundary {

// Texts borrowed from Python str objects without copying: `views[i]` points into
// the UTF-8 buffer of `owners[i]`, which the list keeps alive.
class BorrowedTexts {
public:
    void reserve(std::size_t count);
    void append(PyRef owner, std::string_view text);
    std::span<const std::string_view> views() const noexcept { return views_; }

private:
    std::vector<PyRef> owners_;
    std::vector<std::string_view> views_;
};

// TypeError "'{type}' object cannot be converted to '{target}'", {type} being the
// qualified name of the object's type.
void raise_refusal(PyObject* object, const char* target);

// How many items to reserve for `sequence`; a failing length query is ignored.
std::size_t reservation_for(PyObject* sequence);

// The sequence rule: refuses str and non-sequences, sizes the output with
// `reserve`, then hands every item, in iteration order, to `convert_item`.
// Its messages are kept word for word on purpose: callers match on them.
template <class Reserve, class ConvertItem>
bool convert_sequence(PyObject* object, Reserve reserve, ConvertItem convert_item) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        raise_refusal(object, "Sequence");
        return false;
    }
    reserve(reservation_for(object));
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        // Read by index as their iterators read them: a list that code run by a
        // conversion changes is read as it stands at each step.
        const bool list = PyList_CheckExact(object);
        for (Py_ssize_t i = 0; i < Py_SIZE(object); ++i) {
            PyObject* item = list ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i);
            if (!convert_item(PyRef::borrow(item))) return false;
        }
        return true;
    }
    const PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return false;
    // Items are owned while converted: the iteration may run user code that drops
    // the container's own references to them.
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!convert_item(std::move(item))) return false;
    }
    return !PyErr_Occurred();
}

// Every function below returns false with a Python exception set when `object`
// does not have the expected shape; otherwise it fills its output and returns true.

// str: the UTF-8 text of `object`, valid as long as `object` lives.
[[nodiscard]] bool convert_text(PyObject* object, std::string_view& text);
// The tuple rule: a tuple (or subclass) holding exactly `length` items.
[[nodiscard]] bool check_tuple(PyObject* object, Py_ssize_t length);
// Sequence of str.
[[nodiscard]] bool convert_texts(PyObject* object, BorrowedTexts& texts);
// Sequence of (str, sequence of str).
[[nodiscard]] bool convert_productions(PyObject* object, std::vector<Production>& productions);
// Sequence of (str, sequence of str, int), the int in the signed 32-bit range.
[[nodiscard]] bool convert_tagged_rules(PyObject* object, std::vector<TaggedRule>& rules);
// set or frozenset of str.
[[nodiscard]] bool convert_terminal_set(PyObject* object, TerminalSet& terminals);

// The outcome of converting the argument `name`: passes `converted` through and,
// when it failed with exactly TypeError, replaces that error by a TypeError
// "argument '{name}': {message}" whose __cause__ is the original error's __cause__.
[[nodiscard]] bool argument_converted(const char* name, bool converted);

}  // namespace engine::boundary
