// fault_reporting.hpp — how failures inside the engine reach Python: PanicException
// for internal faults (after a diagnostic on stderr), MemoryError for exhausted memory.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <source_location>

#include "grammar/outcome.hpp"

namespace engine::boundary {

// The PanicException type (borrowed), created on first need and kept for the life of
// the process. Null with a Python exception set if it cannot be created.
PyObject* panic_exception_type();

// Writes the fault's message and source position to stderr, then sets PanicException
// with the message as its one argument ("panic from Quill code" if it has none).
void raise_internal_fault(const InternalFault& fault);

// For a result object the interpreter failed to create: prints and clears the
// interpreter's exception, then raises the internal fault "Python API call failed".
void raise_result_failure(std::source_location where = std::source_location::current());

// A C++ exception that escaped the engine, turned into an internal fault.
void raise_escaped_exception(const char* what, std::source_location where);

// Runs one boundary function body so that no C++ exception reaches the interpreter:
// exhausted memory becomes MemoryError (the engine's memory is released by then, so
// the interpreter stays usable) and any other exception becomes PanicException.
template <class Body>
PyObject* guard_call(Body&& body, std::source_location where = std::source_location::current()) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_escaped_exception(error.what(), where);
    } catch (...) {
        raise_escaped_exception(nullptr, where);
    }
    return nullptr;
}

}  // namespace engine::boundary
