// fuzz_report.hpp — readable dumps of fuzz inputs and results, and the abort that
// turns a mismatch between the engine and the plain reference into a finding.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "grammar/grammar.hpp"

namespace fuzz {

// A symbol or text as a Python-style literal, non-ASCII bytes escaped.
inline std::string quoted(std::string_view text) {
    std::string out = "'";
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x20 && byte < 0x7F && ch != '\'' && ch != '\\') {
            out.push_back(ch);
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02x", byte);
            out += buffer;
        }
    }
    return out + "'";
}

inline std::string describe(const std::vector<std::string>& symbols) {
    std::string out = "[";
    for (std::size_t i = 0; i < symbols.size(); ++i) out += (i ? ", " : "") + quoted(symbols[i]);
    return out + "]";
}

inline std::string describe(const std::set<std::string>& symbols) {
    return describe(std::vector<std::string>(symbols.begin(), symbols.end()));
}

inline std::string describe(const std::vector<engine::Production>& productions) {
    std::string out = "[";
    for (std::size_t i = 0; i < productions.size(); ++i) {
        out += (i ? ", (" : "(") + quoted(productions[i].lhs) + ", " + describe(productions[i].rhs) + ")";
    }
    return out + "]";
}

inline std::string describe(const std::vector<engine::TaggedRule>& rules) {
    std::string out = "[";
    for (std::size_t i = 0; i < rules.size(); ++i) {
        out += (i ? ", (" : "(") + quoted(rules[i].lhs) + ", " + describe(rules[i].rhs) + ", " +
               std::to_string(rules[i].tag) + ")";
    }
    return out + "]";
}

inline std::string describe(const std::optional<std::vector<std::int32_t>>& tags) {
    if (!tags) return "None";
    std::string out = "[";
    for (std::size_t i = 0; i < tags->size(); ++i) out += (i ? ", " : "") + std::to_string((*tags)[i]);
    return out + "]";
}

// With FUZZ_SHOW set in the environment, prints each decoded input (for replays).
template <class Describe>
void show_input(const Describe& describe_input) {
    static const bool enabled = std::getenv("FUZZ_SHOW") != nullptr;
    if (enabled) std::fprintf(stderr, "---- input\n%s\n", describe_input().c_str());
}

// Prints what differed, with the input in a form that pastes into Python, and aborts.
[[noreturn]] inline void mismatch(std::string_view what, const std::string& details) {
    std::fprintf(stderr, "\n==== MISMATCH: %.*s\n%s\n", static_cast<int>(what.size()), what.data(), details.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz
