#include "kiv/core/window_limit.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "kiv/core/numeric.hpp"
#include "kiv/core/order_statistics.hpp"

namespace kiv {

namespace {

template <class Values>
double median_of(const StableOrderStatistics<Values>& sorted) {
    const std::size_t k = sorted.size();
    if (k == 0) return std::numeric_limits<double>::quiet_NaN();
    if (k % 2 == 1) return sorted.at(k / 2);
    // One addition, then the halving: an overflowing sum stays infinite.
    const auto [below, above] = sorted.pair_at(k / 2 - 1);
    return (below + above) * 0.5;
}

}  // namespace

double nan_median(std::span<const double> values) {
    return median_of(StableOrderStatistics<Values>(Values::of(values)));
}

std::int64_t max_window_limit(std::span<const double> timestamps, double min_window_size,
                              double max_window_sec) {
    const double median = median_of(StableOrderStatistics<Differences>(Differences::of(timestamps)));
    const std::int64_t upper = trunc_sat_i64(std::nearbyint(max_window_sec / median));

    // Saturating, so a huge minimum stays huge instead of wrapping negative.
    const std::int64_t floor_size = trunc_sat_i64(min_window_size);
    const std::int64_t lower =
        floor_size == std::numeric_limits<std::int64_t>::max() ? floor_size : floor_size + 1;

    // A window is a count of samples: never below zero.
    return std::max<std::int64_t>(std::max(upper, lower), 0);
}

}  // namespace kiv
