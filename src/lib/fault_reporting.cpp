#include "fault_reporting.hpp"

#include <cstdio>
#include <string_view>

#include "py_ref.hpp"

namespace engine::boundary {
namespace {

// The exception's qualified name, docstring and texts are kept word for word on
// purpose: callers match on them.
constexpr const char* kPanicTypeName = "pyo3_runtime.PanicException";
constexpr const char* kPanicTypeDoc =
    "\n"
    "The exception raised when Quill code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr std::string_view kFaultWithoutText = "panic from Quill code";

// Owned for the life of the process and never released: a fault may be reported
// at any time until the interpreter is gone.
PyObject* panic_type = nullptr;

// The source file as a path within the source tree when it lies under "src/".
std::string_view source_path(const char* file) {
    const std::string_view path(file);
    if (path.starts_with("src/")) return path;
    if (const auto at = path.rfind("/src/"); at != std::string_view::npos) return path.substr(at + 1);
    return path;
}

void write_diagnostic(std::string_view message, const std::source_location& where) {
    const std::string_view file = source_path(where.file_name());
    std::fprintf(stderr, "_engine: internal fault at %.*s:%u:%u (%s): %.*s\n",
                 static_cast<int>(file.size()), file.data(), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), where.function_name(),
                 static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

void raise_panic(std::string_view message, const std::source_location& where) {
    if (message.empty()) message = kFaultWithoutText;
    write_diagnostic(message, where);
    PyObject* const type = panic_exception_type();
    if (type == nullptr) return;
    const PyRef argument = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!argument) return;
    PyErr_SetObject(type, argument.get());
}

}  // namespace

PyObject* panic_exception_type() {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(kPanicTypeName, kPanicTypeDoc, PyExc_BaseException, nullptr);
    }
    return panic_type;
}

void raise_internal_fault(const InternalFault& fault) { raise_panic(fault.message, fault.where); }

// Its message is kept word for word on purpose: callers match on it.
void raise_result_failure(std::source_location where) {
    if (PyErr_Occurred()) PyErr_Print();
    raise_panic("Python API call failed", where);
}

void raise_escaped_exception(const char* what, std::source_location where) {
    raise_panic(what != nullptr ? std::string_view(what) : std::string_view(), where);
}

}  // namespace engine::boundary
