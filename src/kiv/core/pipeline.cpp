#include "kiv/core/pipeline.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

#include "kiv/core/failure.hpp"
#include "kiv/core/kernels.hpp"
#include "kiv/core/matched_texts.hpp"
#include "kiv/core/thresholds.hpp"
#include "kiv/core/time_order.hpp"
#include "kiv/core/variable_smoothing.hpp"
#include "kiv/core/window_limit.hpp"
#include "kiv/core/window_sizes.hpp"

namespace kiv {

namespace {

// The last two cores on samples already in time order.
void smooth_with_limit(std::span<const double> values, std::int64_t limit, const SmoothingParams& params,
                       double* out) {
    const OwnedBuffer<std::uint8_t> widths =
        compute_window_sizes(values, static_cast<std::uint64_t>(limit), params);
    variable_rolling_mean_into(values, {widths.data(), widths.size()}, out);
}

// The copies in time order are made in out, whose entries are written only
// at the end, so that beside the order only the smoothed copy and the
// cores' own buffers are alive. out must not overlap the inputs.
template <class Index>
void smooth_out_of_order(std::span<const double> values, std::span<const double> timestamps,
                         const SmoothingParams& params, double* out) {
    const std::size_t n = values.size();
    OwnedBuffer<Index> order(n);
    stable_time_order<Index>(timestamps, order.data(), out);
    const std::int64_t limit = max_window_limit({out, n}, params.min_window_size, params.max_window_sec);
    for (std::size_t k = 0; k < n; ++k) out[k] = values[order[k]];
    OwnedBuffer<double> smoothed(n);
    smooth_with_limit({out, n}, limit, params, smoothed.data());
    for (std::size_t k = 0; k < n; ++k) out[order[k]] = smoothed[k];
}

// NaN has no place in time order. Where the timestamps are the caller's
// own, the note names the first NaN, looked for only now.
[[noreturn]] void fail_nan_timestamp(std::span<const double> timestamps, bool callers_rows) {
    std::string note;
    for (std::size_t k = 0; callers_rows && k < timestamps.size(); ++k) {
        if (timestamps[k] != timestamps[k]) {
            note = "timestamps[" + std::to_string(k) +
                   "] is NaN (a pandas NaT becomes NaN); drop those samples or give them times before smoothing";
            break;
        }
    }
    fail_input_error(std::string(matched::kNanTimestamp), std::move(note));
}

void smooth_into(std::span<const double> values, std::span<const double> timestamps, const SmoothingParams& params,
                 double* out, bool callers_rows) {
    const std::size_t n = values.size();
    if (timestamps.size() < n) fail_index(timestamps.size(), timestamps.size());
    timestamps = timestamps.first(n);

    // A lone sample needs no ordering. The timestamps are read again after
    // this check (another thread may have written a NaN meanwhile), but
    // every way of ordering them gives a permutation of the samples, so
    // that every output is written whatever they hold then.
    bool ascending = true;
    if (n >= 2) {
        const TimeShape shape = kernels().time_shape(timestamps.data(), n);
        if (shape.nan) fail_nan_timestamp(timestamps, callers_rows);
        ascending = shape.ascending;
    }
    // A stable sort leaves non-decreasing timestamps where they are.
    if (ascending) {
        const std::int64_t limit = max_window_limit(timestamps, params.min_window_size, params.max_window_sec);
        return smooth_with_limit(values, limit, params, out);
    }
    if (n <= thresholds::kNarrowIndexMaximum) return smooth_out_of_order<std::uint32_t>(values, timestamps, params, out);
    smooth_out_of_order<std::uint64_t>(values, timestamps, params, out);
}

}  // namespace

OwnedBuffer<double> smooth_pipeline(std::span<const double> values, std::span<const double> timestamps,
                                    const SmoothingParams& params) {
    OwnedBuffer<double> out(values.size());
    smooth_into(values, timestamps, params, out.data(), true);
    return out;
}

void smooth_pipeline_into(std::span<const double> values, std::span<const double> timestamps,
                          const SmoothingParams& params, double* out) {
    smooth_into(values, timestamps, params, out, false);
}

}  // namespace kiv
