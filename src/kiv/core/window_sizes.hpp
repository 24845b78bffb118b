#pragma once

#include <cstdint>
#include <span>

#include "kiv/core/buffer.hpp"
#include "kiv/core/parameters.hpp"
#include "kiv/core/rolling_median.hpp"
#include "kiv/core/sequences.hpp"

namespace kiv {

// Linear-interpolated percentile of the non-NaN values; an internal failure
// when the rank falls beyond the data.
double nan_percentile(std::span<const double> values, double p);

// One odd window width (1..255) per sample. Cost: O(n) whatever the
// samples and parameters: two selections and the sliding median's O(1)
// amortised a sample, or O(w) for w up to kMedianWidthMaximum
// (rolling_median.hpp).
// What compute_window_sizes' sliding median reads: every sample's raw
// window as a rank of its scale (none for no samples; the percentiles'
// failures first).
struct MedianInput {
    RawWindows raw;
    RankScale scale;
    OwnedBuffer<std::uint16_t> ranks;
};
MedianInput median_input(std::span<const double> samples, std::uint64_t max_window_size,
                         const SmoothingParams& params);

OwnedBuffer<std::uint8_t> compute_window_sizes(std::span<const double> samples,
                                               std::uint64_t max_window_size,
                                               const SmoothingParams& params);

}  // namespace kiv
