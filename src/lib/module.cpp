// module.cpp — the entry point PyInit__engine: single-phase initialisation, one
// module object per process, refused in any interpreter but the first.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "functions.hpp"
#include "py_ref.hpp"

namespace engine::boundary {
namespace {

constexpr int kModuleApiVersion = 1013;

// Where the refusal sends the reader: the README section listing the limits. Kept
// word for word on purpose: callers match on it.
constexpr const char* kSubinterpreterMessage =
    "PyO3 modules do not yet support subinterpreters, see the \"Limits\" section of "
    "the grammar-engine README";

// The module docstring below is kept word for word on purpose: callers match on it.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_engine",                    // m_name
    "Python module entry point",  // m_doc
    0,                            // m_size: no per-module state
    nullptr,                      // m_methods: attached by initialise_module
    nullptr,                      // m_slots: single-phase initialisation
    nullptr,                      // m_traverse
    nullptr,                      // m_clear
    nullptr,                      // m_free
};

// Process-wide, each set once: the interpreter that first imported the module
// (-1 until then) and the module object it got.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_object = nullptr;

// The module's __all__ list, made on first use.
PyObject* all_list(PyObject* module) {
    PyObject* existing = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &existing) < 0) return nullptr;
    if (existing != nullptr) {
        if (PyList_Check(existing)) return existing;
        Py_DECREF(existing);
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return nullptr;
    }
    PyRef created = PyRef::steal(PyList_New(0));
    if (!created || PyObject_SetAttrString(module, "__all__", created.get()) < 0) return nullptr;
    return created.release();
}

// Creates each function of the table bound to the module, lists its name in
// __all__ and sets it as a module attribute, in table order.
bool initialise_module(PyObject* module) {
    const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef& definition : module_functions()) {
        const PyRef function =
            PyRef::steal(PyCMethod_New(&definition, module, module_name.get(), nullptr));
        if (!function) return false;
        const PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) return false;
        const PyRef all = PyRef::steal(all_list(module));
        if (!all || PyList_Append(all.get(), name.get()) < 0) return false;
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return false;
    }
    return true;
}

PyObject* create_module() {
    PyInterpreterState* const interpreter = PyInterpreterState_Get();
    const std::int64_t interpreter_id = PyInterpreterState_GetID(interpreter);
    if (interpreter_id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, interpreter_id) &&
        expected != interpreter_id) {
        PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
        return nullptr;
    }
    if (module_object != nullptr) return Py_NewRef(module_object);

    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, kModuleApiVersion));
    if (!module || !initialise_module(module.get())) return nullptr;
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace engine::boundary

PyMODINIT_FUNC PyInit__engine(void) { return engine::boundary::create_module(); }
