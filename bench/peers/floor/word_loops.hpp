// word_loops.hpp — tight loops of 64-bit word ANDs, OR-reduced into one word, at
// several vector widths; they time what the hardware allows per word of a chart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace peers {

// One way of running the AND loop: its name and whether this CPU can run it.
struct WordLoop {
    std::string_view name;
    bool available;
    // ANDs a[w] & b[w] for w < words, `passes` times over, and ORs every result
    // into the returned word.
    std::uint64_t (*run)(const std::uint64_t* a, const std::uint64_t* b, std::size_t words,
                         std::uint64_t passes);
};

// "scalar" (one 64-bit AND per word, vectorisation off), "default" (the loop as the
// engine's Release flags compile it), then "avx2" and "avx512" where the CPU has them.
std::vector<WordLoop> word_loops();

}  // namespace peers
