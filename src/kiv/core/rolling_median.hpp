#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kiv/core/thresholds.hpp"
#include "kiv/core/window_map.hpp"

namespace kiv {

using thresholds::kMaxSmallRanks;

// For each sample i, the window byte of the NaN-skipping median of
// raw[start, end), where end = i + (w - 1) / 2 + 1 and start = end - w wrap
// modulo 2^64 and are then clamped into [0, n] (a wrapped-negative bound
// becomes 0). Empty or all-NaN windows give the byte of NaN.
//
// Raw windows given as ranks above `base` (kNoRank for NaN), all < range
// <= kMaxSmallRanks: the usual case, worked in integers.
void rolling_median_bytes_small(std::span<const std::uint16_t> ranks, std::int64_t base, std::size_t range,
                                std::uint64_t w, std::span<std::uint8_t> out);
// Any values.
void rolling_median_bytes_any(std::span<const double> raw, std::uint64_t w, std::span<std::uint8_t> out);

}  // namespace kiv
