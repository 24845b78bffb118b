#pragma once

#include <cstdint>
#include <span>

#include "kiv/core/buffer.hpp"

namespace kiv {

// Mean of the non-NaN samples in each sample's centred window of widths[i].
OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::uint8_t> widths);

// The same for widths given as 64-bit sizes: sets `outside`, and gives no
// means, when one of the first samples.size() lies outside 0..255.
OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples, std::span<const std::int64_t> sizes,
                                          bool& outside);

}  // namespace kiv
