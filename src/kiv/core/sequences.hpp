// The sequences that the cores select from and rank: values read in place,
// and values computed from them when read, which need no buffer of their
// own. Each has size() and operator[]; each level's kernels add vector
// accessors beside their loops (kernels/selection.cpp).
//
// The accessors are always inlined: the kernels, built once per CPU level,
// read them too, and an out-of-line copy would be one symbol shared by
// every level (CMake checks the levels' objects for such symbols). For the
// same reason the sequences hold pointers, not spans.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <type_traits>

#include "kiv/core/kernels.hpp"
#include "kiv/core/window_map.hpp"

namespace kiv {

// The values v[0, count).
struct Values {
    const double* v;
    std::size_t count = 0;
    static constexpr Kernels::Sequence Kernels::*kKernels = &Kernels::values;
    static constexpr bool kNegativeZeros = true;  // whether -0.0 may be among them

    static Values of(std::span<const double> v) noexcept { return {v.data(), v.size()}; }
    const double* source() const noexcept { return v; }
    [[gnu::always_inline]] std::size_t size() const noexcept { return count; }
    [[gnu::always_inline]] double operator[](std::size_t i) const noexcept { return v[i]; }
};

// Consecutive differences t[i + 1] - t[i] of count + 1 timestamps.
struct Differences {
    const double* t;
    std::size_t count = 0;
    static constexpr Kernels::Sequence Kernels::*kKernels = &Kernels::differences;
    static constexpr bool kNegativeZeros = true;  // -0.0 - +0.0

    static Differences of(std::span<const double> t) noexcept { return {t.data(), t.size() < 2 ? 0 : t.size() - 1}; }
    const double* source() const noexcept { return t; }
    [[gnu::always_inline]] std::size_t size() const noexcept { return count; }
    [[gnu::always_inline]] double operator[](std::size_t i) const noexcept { return t[i + 1] - t[i]; }
};

// A signal's variability |v[i] - v[i - 1]|, 0 for the first sample.
struct Variability {
    const double* v;
    std::size_t count = 0;
    static constexpr Kernels::Sequence Kernels::*kKernels = &Kernels::variability;
    static constexpr bool kNegativeZeros = false;  // fabs clears the sign

    static Variability of(std::span<const double> v) noexcept { return {v.data(), v.size()}; }
    const double* source() const noexcept { return v; }
    [[gnu::always_inline]] std::size_t size() const noexcept { return count; }
    [[gnu::always_inline]] double operator[](std::size_t i) const noexcept {
        return i == 0 ? 0.0 : std::fabs(v[i] - v[i - 1]);
    }
};

// A span is read as its Values.
template <class Sequence>
using ReadAs = std::conditional_t<std::is_same_v<Sequence, std::span<const double>>, Values, Sequence>;

// The raw window of each sample: its variability through the map.
struct RawWindows {
    Variability variability;
    WindowMap map;

    [[gnu::always_inline]] std::size_t size() const noexcept { return variability.size(); }
    [[gnu::always_inline]] double operator[](std::size_t i) const noexcept { return map(variability[i]); }
};

}  // namespace kiv
