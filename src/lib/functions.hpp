// functions.hpp — the module's function table: the four functions Python calls, in
// registration order, each binding, converting, running one core and converting back.
#pragma once

#include <Python.h>

#include <span>

namespace engine::boundary {

// Static definitions (vectorcall with keywords, docstrings with signature lines).
std::span<PyMethodDef> module_functions();

}  // namespace engine::boundary
