// The raw window of a sample from its variability: shared by the window
// sizes and their vector kernel, which must agree bit for bit. Always
// inlined, so that no copy built for one CPU level serves the others.
#pragma once

#include <cstdint>

#include "kiv/core/numeric.hpp"

namespace kiv {

// Variability mapped linearly from [lo, lo + range] onto the span of widths
// above min_window_size, rounded half to even.
struct WindowMap {
    double lo, range, span, min_window_size;

    [[gnu::always_inline]] double operator()(double d) const noexcept {
        const double x = (d - lo) / range;
        const double y = 0.05 > x ? 0.05 : x;
        const double z = 1.0 < y ? 1.0 : y;
        const double rounded = round_half_even((1.0 - z) * span + min_window_size);
        // Zero rather than NaN: unknown variability pulls the median down.
        return d != d ? 0.0 : rounded;
    }
};

inline constexpr std::uint16_t kNoRank = 0xFFFF;  // a NaN among small ranks

// A raw window as a rank of the median's scale: raw - base, clamped into
// [0, top]. Converted unconditionally (NaN as 0), then chosen, so that
// loops of it have no branch.
[[gnu::always_inline]] inline std::uint16_t small_rank(double raw, double base, double top) noexcept {
    const double above = raw == raw ? raw - base : 0.0;
    const double clamped = above < 0.0 ? 0.0 : (above > top ? top : above);
    const auto r = static_cast<std::uint16_t>(static_cast<std::int32_t>(clamped));
    return raw == raw ? r : kNoRank;
}

}  // namespace kiv
