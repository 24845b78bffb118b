// The vectors of one CPU level, shared by the kernel families of that level
// (KIV_LEVEL names it; the level's compiler flags give the vector width).
// Vectors are exactly as wide as the level's registers: wider generic
// vectors would be split through the stack.
//
// Everything here has internal linkage: each family's object keeps its own
// copies, built with its level's flags. An inline function or template with
// external linkage would be merged across objects at link time, and a copy
// built for a higher level could then run on a CPU without it (CMake checks
// the objects for such symbols).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#ifndef KIV_LEVEL
#error "KIV_LEVEL names the CPU level this file is built for"
#endif

namespace kiv::levels::KIV_LEVEL {

namespace {

#if defined(__AVX512F__)
constexpr std::size_t kLanes = 8;
#elif defined(__AVX2__)
constexpr std::size_t kLanes = 4;
#elif defined(__SSE2__) || defined(__ARM_NEON)
constexpr std::size_t kLanes = 2;
#else
#error "no vector kernels for this target"
#endif

using Doubles = double __attribute__((vector_size(kLanes * sizeof(double))));
using Words = std::int64_t __attribute__((vector_size(kLanes * sizeof(double))));

inline Doubles load(const double* p) {
    Doubles x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

inline Doubles broadcast(double x) { return Doubles{} + x; }

// One bit per lane of a comparison's result.
inline unsigned lane_bits(Words mask) {
#if defined(__AVX512F__)
    return _mm512_movepi64_mask(reinterpret_cast<__m512i>(mask));
#elif defined(__AVX2__)
    return static_cast<unsigned>(_mm256_movemask_pd(reinterpret_cast<__m256d>(mask)));
#elif defined(__SSE2__)
    return static_cast<unsigned>(_mm_movemask_pd(reinterpret_cast<__m128d>(mask)));
#else
    unsigned bits = 0;
    for (std::size_t l = 0; l < kLanes; ++l) bits |= static_cast<unsigned>(mask[l] & 1) << l;
    return bits;
#endif
}

inline std::int64_t min64(std::int64_t a, std::int64_t b) { return a < b ? a : b; }
inline std::int64_t max64(std::int64_t a, std::int64_t b) { return a < b ? b : a; }

inline std::size_t count_bits(unsigned bits) {
#if defined(__POPCNT__) || defined(__aarch64__)
    return static_cast<std::size_t>(__builtin_popcount(bits));
#else
    std::size_t count = 0;  // without the instruction, a library call
    for (std::size_t l = 0; l < kLanes; ++l) count += bits >> l & 1;
    return count;
#endif
}

}  // namespace

}  // namespace kiv::levels::KIV_LEVEL
