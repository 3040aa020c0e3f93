// conversion.hpp — turns Python arguments into engine values, one function per
// argument kind, plus the rule that prefixes a TypeError with the argument's name.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>
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

// Every function below returns false with a Python exception set when `object`
// does not have the expected shape; otherwise it fills its output and returns true.

// str: the UTF-8 text of `object`, valid as long as `object` lives.
[[nodiscard]] bool convert_text(PyObject* object, std::string_view& text);
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
