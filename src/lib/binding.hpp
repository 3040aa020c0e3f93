// binding.hpp — binds the positional and keyword arguments of a vectorcall to a
// function's parameters, raising the TypeError texts Python users expect.
#pragma once

#include <Python.h>

#include <span>

namespace engine::boundary {

// A function as the binding sees it: its name and its parameters in declaration
// order, all positional-or-keyword and required.
struct FunctionSignature {
    const char* name;
    std::span<const char* const> parameters;
};

// Fills `bound` (one slot per parameter) with borrowed references to the arguments.
// Returns false with a TypeError set when the arguments do not fit the parameters.
[[nodiscard]] bool bind_arguments(const FunctionSignature& signature, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> bound);

}  // namespace engine::boundary
