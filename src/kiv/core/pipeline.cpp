#include "kiv/core/pipeline.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kiv/core/failure.hpp"
#include "kiv/core/variable_smoothing.hpp"
#include "kiv/core/window_limit.hpp"

namespace kiv {

namespace {

// The three cores on samples already in time order.
OwnedBuffer<double> smooth_in_time_order(std::span<const double> values, std::span<const double> timestamps,
                                         const SmoothingParams& params) {
    const std::int64_t limit = max_window_limit(timestamps, params.min_window_size, params.max_window_sec);
    const OwnedBuffer<std::uint8_t> widths =
        compute_window_sizes(values, static_cast<std::uint64_t>(limit), params);
    return variable_rolling_mean(values, {widths.data(), widths.size()});
}

}  // namespace

OwnedBuffer<double> smooth_pipeline(std::span<const double> values, std::span<const double> timestamps,
                                    const SmoothingParams& params) {
    const std::size_t n = values.size();
    if (timestamps.size() < n) fail_index(timestamps.size(), timestamps.size());
    timestamps = timestamps.first(n);

    // NaN has no place in time order; a lone sample needs no ordering.
    bool ascending = true;
    if (n >= 2) {
        for (std::size_t k = 0; k < n; ++k)
            if (std::isnan(timestamps[k])) fail("called `Option::unwrap()` on a `None` value");
        for (std::size_t k = 1; k < n && ascending; ++k) ascending = !(timestamps[k] < timestamps[k - 1]);
    }
    // A stable sort leaves non-decreasing timestamps where they are.
    if (ascending) return smooth_in_time_order(values, timestamps, params);

    struct Stamp {
        double time;
        std::size_t index;
    };
    // Allocated only after the sort, whose own buffer is the largest one.
    std::vector<std::size_t> order;
    std::vector<double> sorted_timestamps;
    {
        std::vector<Stamp> stamps(n);
        for (std::size_t k = 0; k < n; ++k) stamps[k] = {timestamps[k], k};
        // Stable, so samples sharing a timestamp keep the caller's order.
        std::stable_sort(stamps.begin(), stamps.end(),
                         [](const Stamp& a, const Stamp& b) { return a.time < b.time; });
        order.resize(n);
        sorted_timestamps.resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            order[k] = stamps[k].index;
            sorted_timestamps[k] = stamps[k].time;
        }
    }
    std::vector<double> sorted_values(n);
    for (std::size_t k = 0; k < n; ++k) sorted_values[k] = values[order[k]];
    const OwnedBuffer<double> smoothed = smooth_in_time_order(sorted_values, sorted_timestamps, params);
    sorted_timestamps = {};
    sorted_values = {};

    OwnedBuffer<double> result(n);
    for (std::size_t k = 0; k < n; ++k) result[order[k]] = smoothed[k];
    return result;
}

}  // namespace kiv
