// Conversions and ordering shared by the numeric cores.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace kiv {

// Truncates toward zero and saturates; NaN gives 0.
inline std::int64_t trunc_sat_i64(double x) noexcept {
    if (std::isnan(x)) return 0;
    if (x >= 0x1p63) return std::numeric_limits<std::int64_t>::max();
    if (x <= -0x1p63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(x);
}

// Truncates toward zero and saturates; NaN and anything not above zero give 0.
inline std::uint64_t trunc_sat_u64(double x) noexcept {
    if (std::isnan(x) || x <= 0.0) return 0;
    if (x >= 0x1p64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

// rint in the default rounding mode (half to even), without a library call:
// below 2^52, adding and removing 2^52 leaves exactly the rounded value.
// Always inlined: the per-level kernels use it too (kernels/mean.cpp).
[[gnu::always_inline]] inline double round_half_even(double x) noexcept {
    const double magnitude = std::fabs(x);
    const double rounded = std::copysign((magnitude + 0x1p52) - 0x1p52, x);
    return magnitude < 0x1p52 ? rounded : x;  // else integral already, infinite or NaN
}

// The width byte of a smoothed window: saturated into 0..255 rather than
// keeping the low bits, then made odd.
inline std::uint8_t window_byte(double smoothed) noexcept {
    const std::int64_t s = trunc_sat_i64(smoothed);  // truncates itself
    return static_cast<std::uint8_t>(std::clamp<std::int64_t>(s, 0, 255) | 1);
}

}  // namespace kiv
