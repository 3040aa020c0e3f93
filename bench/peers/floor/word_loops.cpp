#include "word_loops.hpp"

namespace peers {
namespace {

// The empty asm with a memory clobber makes every pass reload both arrays, so the
// compiler can neither hoist the ANDs out of the pass loop nor merge passes.
#define PEERS_AND_LOOP_BODY                                          \
    std::uint64_t acc = 0;                                           \
    for (std::uint64_t p = 0; p < passes; ++p) {                     \
        asm volatile("" : : "r"(a), "r"(b) : "memory");              \
        for (std::size_t w = 0; w < words; ++w) acc |= a[w] & b[w];  \
    }                                                                \
    return acc;

#if defined(__clang__)
std::uint64_t and_scalar(const std::uint64_t* a, const std::uint64_t* b, std::size_t words,
                         std::uint64_t passes) {
    std::uint64_t acc = 0;
    for (std::uint64_t p = 0; p < passes; ++p) {
        asm volatile("" : : "r"(a), "r"(b) : "memory");
#pragma clang loop vectorize(disable)
        for (std::size_t w = 0; w < words; ++w) acc |= a[w] & b[w];
    }
    return acc;
}
#else
__attribute__((optimize("no-tree-vectorize"))) std::uint64_t and_scalar(const std::uint64_t* a,
                                                                        const std::uint64_t* b,
                                                                        std::size_t words,
                                                                        std::uint64_t passes) {
    PEERS_AND_LOOP_BODY
}
#endif

std::uint64_t and_default(const std::uint64_t* a, const std::uint64_t* b, std::size_t words,
                          std::uint64_t passes) {
    PEERS_AND_LOOP_BODY
}

__attribute__((target("avx2"))) std::uint64_t and_avx2(const std::uint64_t* a, const std::uint64_t* b,
                                                       std::size_t words, std::uint64_t passes) {
    PEERS_AND_LOOP_BODY
}

__attribute__((target("avx512f"))) std::uint64_t and_avx512(const std::uint64_t* a, const std::uint64_t* b,
                                                           std::size_t words, std::uint64_t passes) {
    PEERS_AND_LOOP_BODY
}

#undef PEERS_AND_LOOP_BODY

}  // namespace

std::vector<WordLoop> word_loops() {
    __builtin_cpu_init();
    return {
        {"scalar", true, and_scalar},
        {"default", true, and_default},
        {"avx2", __builtin_cpu_supports("avx2") != 0, and_avx2},
        {"avx512", __builtin_cpu_supports("avx512f") != 0, and_avx512},
    };
}

}  // namespace peers
