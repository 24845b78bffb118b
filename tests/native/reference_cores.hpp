// Literal forms of the numeric cores, for differential tests, fuzzing and
// benchmarks. Same contracts as the functions of the same names in kiv::.
#pragma once

#include <cstdint>
#include <span>

#include "kiv/core/buffer.hpp"
#include "kiv/core/window_sizes.hpp"

namespace kiv::reference {

double nan_median(std::span<const double> values);
std::int64_t max_window_limit(std::span<const double> timestamps, double min_window_size,
                              double max_window_sec);
double nan_percentile(std::span<const double> values, double p);
OwnedBuffer<std::uint8_t> compute_window_sizes(std::span<const double> samples,
                                               std::uint64_t max_window_size,
                                               const SmoothingParams& params);
OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::uint8_t> widths);
OwnedBuffer<double> smooth_pipeline(std::span<const double> values,
                                    std::span<const double> timestamps,
                                    const SmoothingParams& params);

}  // namespace kiv::reference
