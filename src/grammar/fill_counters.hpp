// fill_counters.hpp — optional counts of the chart words the fill and the walk touch,
// compiled in only with ENGINE_FILL_COUNTERS; otherwise every count is a no-op.
#pragma once

#include <cstdint>

namespace engine {

// Words touched, by loop. A "word" is one 64-bit chart word read or written once.
struct FillCounters {
    std::uint64_t end_scan_words = 0;   // open-row words read while looking for the next end k
    std::uint64_t row_or_words = 0;     // words OR-ed from a right part's row into a left-hand row
    std::uint64_t single_checks = 0;    // one-position right parts tested bit by bit
    std::uint64_t row_store_words = 0;  // words scanned, stored and cleared when a row is finished
    std::uint64_t walk_tests = 0;       // split points the derivation walk tests

    std::uint64_t fill_words() const noexcept {
        return end_scan_words + row_or_words + single_checks + row_store_words;
    }
};

#ifdef ENGINE_FILL_COUNTERS
// The calling thread's counters; they only grow, so callers read differences.
FillCounters& fill_counters() noexcept;
#define ENGINE_COUNT(field, amount) (::engine::fill_counters().field += static_cast<std::uint64_t>(amount))
#else
#define ENGINE_COUNT(field, amount) static_cast<void>(0)
#endif

}  // namespace engine
