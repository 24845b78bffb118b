#include "kiv/core/pipeline.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "kiv/core/failure.hpp"
#include "kiv/core/variable_smoothing.hpp"
#include "kiv/core/window_limit.hpp"

namespace kiv {

OwnedBuffer<double> smooth_pipeline(std::span<const double> values,
                                    std::span<const double> timestamps,
                                    const SmoothingParams& params) {
    const std::size_t n = values.size();

    // NaN has no place in time order; a lone sample needs no ordering.
    if (n >= 2) {
        for (std::size_t k = 0; k < n; ++k)
            if (std::isnan(at(timestamps, k)))
                fail("called `Option::unwrap()` on a `None` value");
    }
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Stable, so samples sharing a timestamp keep the caller's order.
    if (n >= 2)
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return timestamps[a] < timestamps[b];
        });

    std::vector<double> sorted_values(n);
    std::vector<double> sorted_timestamps(n);
    for (std::size_t k = 0; k < n; ++k) {
        sorted_values[k] = at(values, order[k]);
        sorted_timestamps[k] = at(timestamps, order[k]);
    }

    const std::int64_t limit =
        max_window_limit(sorted_timestamps, params.min_window_size, params.max_window_sec);
    const OwnedBuffer<std::uint8_t> widths =
        compute_window_sizes(sorted_values, static_cast<std::uint64_t>(limit), params);
    const OwnedBuffer<double> smoothed = variable_rolling_mean(
        sorted_values, std::span<const std::uint8_t>(widths.data(), widths.size()));

    OwnedBuffer<double> result(n);
    for (std::size_t k = 0; k < n; ++k) at(result, order[k]) = at(smoothed, k);
    return result;
}

}  // namespace kiv
