#pragma once

#include <cstdint>
#include <span>

#include "kiv/core/buffer.hpp"

namespace kiv {

// Mean of the non-NaN samples in each sample's centred window of widths[i].
// Cost: O(w) a sample, w <= 255: every mean is a sum in index order, bit for
// bit, which no running sum gives. Outputs go in blocks (up to 64), each
// summing as far as its widest window reaches, masked per output where
// their widths differ. NaN and infinities cost as any number.
OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::uint8_t> widths);
// The same into out (samples.size() entries).
void variable_rolling_mean_into(std::span<const double> samples, std::span<const std::uint8_t> widths,
                                double* out);

// The same for widths given as 64-bit sizes: sets `outside`, and gives no
// means, when one of the first samples.size() lies outside 0..255.
OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples, std::span<const std::int64_t> sizes,
                                          bool& outside);

}  // namespace kiv
