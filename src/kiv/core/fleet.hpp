// Many series smoothed in one call, each exactly as the pipeline smooths it
// alone, the work shared between threads by samples.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "kiv/core/buffer.hpp"
#include "kiv/core/window_sizes.hpp"

namespace kiv {

// Series g is samples starts[g] to starts[g + 1] - 1 of values and
// timestamps; starts holds G + 1 entries from 0 to n, never decreasing.
// Sample k's result goes to row rows[k], or to row k where rows is empty.
// Starts and rows are read several times each, so they are kiv's own,
// which no other thread writes; values and timestamps may be the caller's:
// each series' pipeline writes all its results whatever they hold.
struct Fleet {
    std::span<const double> values;
    std::span<const double> timestamps;
    std::span<const std::uint64_t> starts;
    std::span<const std::uint64_t> rows;
};

// Rows brought together by label, stably: series in ascending label order,
// each with its rows in row order, their samples copied into that order
// (16 bytes a row, besides 8 for the rows and at most 8 for the series).
// Labels that span at most n + 1 values are counted, on up to `workers`
// threads, each placing a run of rows (the labels read once take 4 bytes a
// row, 8 where they span 2^32 values or more, the counts at most 8 more);
// others go by a radix sort on each byte in which they differ (at most 8
// passes, 32 bytes a row while it lasts). Cost O(n) either way.
struct GroupedFleet {
    OwnedBuffer<double> values, timestamps;
    OwnedBuffer<std::uint64_t> rows, starts;

    Fleet fleet() const {
        return {{values.data(), values.size()},
                {timestamps.data(), timestamps.size()},
                {starts.data(), starts.size()},
                {rows.data(), rows.size()}};
    }
};
GroupedFleet group_fleet(std::span<const double> values, std::span<const double> timestamps,
                         std::span<const std::int64_t> labels, std::size_t workers);

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
// starts early instead of last. Where rows are given, each worker keeps the
// results of one series before they go to their rows: 8 bytes a sample of
// the longest it smooths.
void smooth_fleet(const Fleet& fleet, const SmoothingParams& params, std::size_t workers, double* out);

}  // namespace kiv
