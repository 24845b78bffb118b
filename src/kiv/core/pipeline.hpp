#pragma once

#include <span>

#include "kiv/core/buffer.hpp"
#include "kiv/core/parameters.hpp"

namespace kiv {

// The whole smoothing in time order, result in the caller's order. Cost:
// O(n) for the time order (none when the timestamps ascend) and the window
// sizes, O(w) a sample for the mean. A NaN among two or more timestamps
// fails, with a note naming the first by its index.
OwnedBuffer<double> smooth_pipeline(std::span<const double> values,
                                    std::span<const double> timestamps,
                                    const SmoothingParams& params);

// The same into out (values.size() entries), for samples that are not the
// caller's rows (a series of a fleet): the NaN failure has no note. out
// overlaps neither input; it serves as scratch before its results are
// written.
void smooth_pipeline_into(std::span<const double> values, std::span<const double> timestamps,
                          const SmoothingParams& params, double* out);

}  // namespace kiv
