#include "binding.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace engine::boundary {
namespace {

// The TypeError messages below are kept word for word on purpose: callers match on them.
// 'a'; 'a' and 'b'; 'a', 'b', and 'c' — the way Python lists missing arguments.
std::string quoted_name_list(std::span<const char* const> names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ',';
            if (i + 1 == names.size()) text += " and";
            text += ' ';
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

void raise_too_many_positional(const FunctionSignature& signature, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given",
                 signature.name, static_cast<Py_ssize_t>(signature.parameters.size()), given,
                 given == 1 ? "was" : "were");
}

void raise_unexpected_keyword(const FunctionSignature& signature, PyObject* keyword) {
    // Keyword names are str (or a subclass) when the call comes from Python; the
    // text is taken as stored, never through a user-defined __str__.
    if (PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name,
                     keyword);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%R'", signature.name,
                     keyword);
    }
}

void raise_missing(const FunctionSignature& signature, std::span<PyObject* const> bound) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < bound.size(); ++i) {
        if (bound[i] == nullptr) missing.push_back(signature.parameters[i]);
    }
    const std::string message = std::string(signature.name) + "() missing " +
                                std::to_string(missing.size()) + " required positional " +
                                (missing.size() == 1 ? "argument: " : "arguments: ") +
                                quoted_name_list(missing);
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

}  // namespace

bool bind_arguments(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound) {
    const auto parameter_count = static_cast<Py_ssize_t>(signature.parameters.size());
    std::fill(bound.begin(), bound.end(), nullptr);

    if (nargs > parameter_count) {
        raise_too_many_positional(signature, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];

    // Keyword values follow the positional ones in `args`, in the order of `kwnames`.
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* const keyword = PyTuple_GET_ITEM(kwnames, k);
        const auto parameter =
            std::find_if(signature.parameters.begin(), signature.parameters.end(),
                         [keyword](const char* name) { return PyUnicode_EqualToUTF8(keyword, name) == 1; });
        if (parameter == signature.parameters.end()) {
            raise_unexpected_keyword(signature, keyword);
            return false;
        }
        PyObject*& slot = bound[static_cast<std::size_t>(parameter - signature.parameters.begin())];
        if (slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         signature.name, *parameter);
            return false;
        }
        slot = args[nargs + k];
    }

    if (std::find(bound.begin(), bound.end(), nullptr) != bound.end()) {
        raise_missing(signature, bound);
        return false;
    }
    return true;
}

}  // namespace engine::boundary
