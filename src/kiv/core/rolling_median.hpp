#pragma once

#include <cstdint>
#include <span>

namespace kiv {

// For each sample i, the window byte of the NaN-skipping median of
// raw[start, end), where end = i + (w - 1) / 2 + 1 and start = end - w wrap
// modulo 2^64 and are then clamped into [0, n] (a wrapped-negative bound
// becomes 0). Empty or all-NaN windows give the byte of NaN.
void rolling_median_bytes(std::span<const double> raw, std::uint64_t w, std::span<std::uint8_t> out);

}  // namespace kiv
