// Many series smoothed in one call, each exactly as the pipeline smooths it
// alone, the work shared between threads by samples.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "kiv/core/buffer.hpp"
#include "kiv/core/window_sizes.hpp"

namespace kiv {

// Series g is made of rows[starts[g]], ..., rows[starts[g + 1] - 1]; with no
// rows, of rows starts[g] to starts[g + 1] - 1 themselves. starts holds
// G + 1 entries from 0 to n, never decreasing.
struct Fleet {
    std::span<const double> values;
    std::span<const double> timestamps;
    std::span<const std::uint64_t> starts;
    std::span<const std::uint64_t> rows;
};

// Rows brought together by label, stably: series in ascending label order,
// each with its rows in row order. Cost O(n) by counting when the labels
// span at most n + 1 values, else O(n) radix passes over the bytes in which
// they differ (at most 8).
struct Grouping {
    OwnedBuffer<std::uint64_t> rows;
    OwnedBuffer<std::uint64_t> starts;
    OwnedBuffer<std::int64_t> labels;  // of each series
};
Grouping group_rows(std::span<const std::int64_t> labels);

// A NaN timestamp in a series of two or more samples, which has no time
// order: the series and the row of its first NaN.
struct NanTimestamp {
    std::uint64_t series;
    std::uint64_t row;
};
// The one whose row comes first, if any. Cost O(n).
std::optional<NanTimestamp> first_nan_timestamp(const Fleet& fleet);

// Every series smoothed into out (n entries, in row order) on up to
// `workers` threads. Tasks are runs of consecutive series of about the same
// number of samples, longest first, so that a long series among short ones
// starts early instead of last. Each worker keeps one scratch for the
// series it gathers (rows given): 24 bytes a sample of its longest.
void smooth_fleet(const Fleet& fleet, const SmoothingParams& params, std::size_t workers, double* out);

}  // namespace kiv
