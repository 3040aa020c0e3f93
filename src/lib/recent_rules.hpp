// recent_rules.hpp — the last CNF rule list handed to parse_cnf, converted: a call
// handing in an equal list is checked against it instead of converted again.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "grammar/grammar.hpp"

namespace engine::boundary {

// Keeps the converted rules only, no reference to the caller's objects. A list
// whose every part is of an exact built-in type (tuples, str, int, and lists or
// tuples of str) is compared with them in place, which runs none of the caller's
// code and allocates nothing; anything else is converted.
class RecentRules {
public:
    // The rules of `object`, converted as convert_tagged_rules converts them;
    // null with a Python exception set when that fails. Valid until the next call.
    const std::vector<TaggedRule>* convert(PyObject* object);

    // Changes whenever the rules returned change; never 0.
    std::uint64_t version() const noexcept { return version_; }

private:
    bool equals_held(PyObject* object) const noexcept;

    std::vector<TaggedRule> rules_;
    std::uint64_t version_ = 1;
};

}  // namespace engine::boundary
