// engine_assert.hpp — ENGINE_ASSERT, an invariant check compiled into sanitizer and
// debug builds (compile definition ENGINE_ASSERTIONS) and into nothing otherwise.
#pragma once

#ifdef ENGINE_ASSERTIONS
#include <cstdio>
#include <cstdlib>

namespace engine::detail {
[[noreturn]] inline void assertion_failed(const char* condition, const char* file, int line) noexcept {
    std::fprintf(stderr, "%s:%d: engine invariant failed: %s\n", file, line, condition);
    std::abort();
}
}  // namespace engine::detail

#define ENGINE_ASSERT(condition) \
    ((condition) ? static_cast<void>(0) : ::engine::detail::assertion_failed(#condition, __FILE__, __LINE__))
#else
#define ENGINE_ASSERT(condition) static_cast<void>(0)
#endif
