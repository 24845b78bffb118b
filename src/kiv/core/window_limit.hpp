#pragma once

#include <cstdint>
#include <span>

namespace kiv {

// Median of the non-NaN values; NaN when there are none. Cost: O(n)
// whatever the values (StableOrderStatistics).
double nan_median(std::span<const double> values);

// Widest window, in samples, for the timestamps' median interval. Never
// negative: the lower bound saturates instead of wrapping. Cost: one median
// of the differences, O(n).
std::int64_t max_window_limit(std::span<const double> timestamps, double min_window_size,
                              double max_window_sec);

}  // namespace kiv
