// module.cpp — the entry point PyInit__partial: a single-phase module holding the
// count-level functions, which keep no state between calls.
#include <Python.h>

#include "functions.hpp"

namespace engine::partial {
namespace {

constexpr int kModuleApiVersion = 1013;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "grammar_engine._partial",  // m_name
    "Count-level steps of scoring and induction, for corpora processed in chunks.",
    0,                          // m_size: no per-module state
    nullptr,                    // m_methods: set from the function table on first import
    nullptr,                    // m_slots: single-phase initialisation
    nullptr,                    // m_traverse
    nullptr,                    // m_clear
    nullptr,                    // m_free
};

PyObject* create_module() {
    module_definition.m_methods = module_functions().data();
    return PyModule_Create2(&module_definition, kModuleApiVersion);
}

}  // namespace
}  // namespace engine::partial

PyMODINIT_FUNC PyInit__partial(void) { return engine::partial::create_module(); }
