// functions.hpp — the function table of grammar_engine._partial: the count-level
// steps of scoring and induction on plain Python values, for corpora in chunks.
#pragma once

#include <Python.h>

#include <span>

namespace engine::partial {

// Static definitions (vectorcall with keywords, docstrings with signature lines),
// ending with the null entry the module definition expects.
std::span<PyMethodDef> module_functions();

}  // namespace engine::partial
