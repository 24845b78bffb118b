#pragma once

#include <cstdint>
#include <span>

#include "kiv/core/buffer.hpp"

namespace kiv {

// Mean of the non-NaN samples in each sample's centred window of widths[i].
OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::uint8_t> widths);

}  // namespace kiv
