#pragma once

#include <cstdint>
#include <span>

#include "kiv/core/buffer.hpp"

namespace kiv {

// Mean of the non-NaN samples in each sample's centred window of widths[i].
OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::uint8_t> widths);

// The same with widths as 64-bit integers, each narrowed to a byte as its
// chunk is reached; sets `outside` and returns nothing when any lies outside
// 0..255.
OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::int64_t> widths, bool& outside);

}  // namespace kiv
