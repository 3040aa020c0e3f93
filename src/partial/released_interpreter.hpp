// released_interpreter.hpp — `ReleasedInterpreter`, which lets other Python threads
// run while the engine computes on values already taken out of Python objects.
#pragma once

#include <Python.h>

namespace engine::partial {

// Releases the interpreter lock for its lifetime and takes it back on destruction,
// also when an exception leaves the scope. Nothing in the scope may touch a Python
// object; borrowed buffers of immutable objects the caller keeps alive may be read.
class ReleasedInterpreter {
public:
    ReleasedInterpreter() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedInterpreter() { PyEval_RestoreThread(state_); }
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace engine::partial
