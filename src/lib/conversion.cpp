#include "conversion.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

namespace engine::boundary {
// The error messages in this file are kept word for word on purpose: callers match on them.
namespace {

bool convert_symbol(PyObject* object, Symbol& symbol) {
    std::string_view text;
    if (!convert_text(object, text)) return false;
    symbol.assign(text);
    return true;
}

bool convert_symbols(PyObject* object, std::vector<Symbol>& symbols) {
    return convert_sequence(
        object, [&](std::size_t count) { symbols.reserve(count); },
        [&](PyRef item) {
            std::string_view text;
            if (!convert_text(item.get(), text)) return false;
            symbols.emplace_back(text);
            return true;
        });
}

bool convert_tag(PyObject* object, std::int32_t& tag) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    // C long may be wider than the tag, so the range is checked here.
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        PyErr_Format(PyExc_OverflowError, "rule tag %ld does not fit a signed 32-bit integer", value);
        return false;
    }
    tag = static_cast<std::int32_t>(value);
    return true;
}

// A reported length only sizes a reservation: it may be a lie (a user-defined
// __len__), so it never reserves more than this many items up front.
constexpr Py_ssize_t kReservationCap = Py_ssize_t{1} << 16;

}  // namespace

void raise_refusal(PyObject* object, const char* target) {
    const PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "'<failed to extract type name>' object cannot be converted to '%s'", target);
        return;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
}

std::size_t reservation_for(PyObject* sequence) {
    const Py_ssize_t length = PySequence_Size(sequence);
    if (length < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(std::min(length, kReservationCap));
}

bool check_tuple(PyObject* object, Py_ssize_t length) {
    if (!PyTuple_Check(object)) {
        raise_refusal(object, "PyTuple");
        return false;
    }
    const Py_ssize_t actual = PyTuple_GET_SIZE(object);
    if (actual != length) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd",
                     length, actual);
        return false;
    }
    return true;
}

void BorrowedTexts::reserve(std::size_t count) {
    owners_.reserve(count);
    views_.reserve(count);
}

void BorrowedTexts::append(PyRef owner, std::string_view text) {
    owners_.push_back(std::move(owner));
    views_.push_back(text);
}

bool convert_text(PyObject* object, std::string_view& text) {
    if (!PyUnicode_Check(object)) {
        raise_refusal(object, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* const data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;  // no UTF-8 form, e.g. a lone surrogate
    text = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool convert_texts(PyObject* object, BorrowedTexts& texts) {
    return convert_sequence(
        object, [&](std::size_t count) { texts.reserve(count); },
        [&](PyRef item) {
            std::string_view text;
            if (!convert_text(item.get(), text)) return false;
            texts.append(std::move(item), text);
            return true;
        });
}

bool convert_productions(PyObject* object, std::vector<Production>& productions) {
    return convert_sequence(
        object, [&](std::size_t count) { productions.reserve(count); },
        [&](PyRef item) {
            if (!check_tuple(item.get(), 2)) return false;
            Production production;
            if (!convert_symbol(PyTuple_GET_ITEM(item.get(), 0), production.lhs)) return false;
            if (!convert_symbols(PyTuple_GET_ITEM(item.get(), 1), production.rhs)) return false;
            productions.push_back(std::move(production));
            return true;
        });
}

bool convert_tagged_rules(PyObject* object, std::vector<TaggedRule>& rules) {
    return convert_sequence(
        object, [&](std::size_t count) { rules.reserve(count); },
        [&](PyRef item) {
            if (!check_tuple(item.get(), 3)) return false;
            TaggedRule rule;
            if (!convert_symbol(PyTuple_GET_ITEM(item.get(), 0), rule.lhs)) return false;
            if (!convert_symbols(PyTuple_GET_ITEM(item.get(), 1), rule.rhs)) return false;
            if (!convert_tag(PyTuple_GET_ITEM(item.get(), 2), rule.tag)) return false;
            rules.push_back(std::move(rule));
            return true;
        });
}

bool convert_terminal_set(PyObject* object, TerminalSet& terminals) {
    if (!PyAnySet_Check(object)) {
        raise_refusal(object, "PySet");
        return false;
    }
    const PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return false;
    while (const PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        std::string_view text;
        if (!convert_text(item.get(), text)) return false;
        terminals.insert(text);
    }
    return !PyErr_Occurred();
}

bool argument_converted(const char* name, bool converted) {
    if (converted) return true;
    PyRef original = PyRef::steal(PyErr_GetRaisedException());
    if (!original || Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(original.release());
        return false;
    }
    const PyRef message = PyRef::steal(PyObject_Str(original.get()));
    if (!message) {
        // The error cannot be rendered (a user object in its arguments whose
        // __str__ fails): keep the original error rather than lose it.
        PyErr_Clear();
        PyErr_SetRaisedException(original.release());
        return false;
    }
    const PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
    if (!text) return false;
    PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!replacement) return false;
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
    return false;
}

}  // namespace engine::boundary
