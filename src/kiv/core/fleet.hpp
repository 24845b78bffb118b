// Many series smoothed in one call, each exactly as the pipeline smooths it
// alone, the work shared between threads by samples.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "kiv/core/buffer.hpp"
#include "kiv/core/parameters.hpp"

namespace kiv {

// Series g is samples starts[g] to starts[g + 1] - 1 of values and
// timestamps; starts holds G + 1 entries from 0 to n, never decreasing.
// Sample k's result goes to row k. Starts are read several times each, so
// they are kiv's own, which no other thread writes; values and timestamps
// may be the caller's: each series' pipeline writes all its results
// whatever they hold.
struct Fleet {
    std::span<const double> values;
    std::span<const double> timestamps;
    std::span<const std::uint64_t> starts;
};

// A sample of a grouped fleet: one series' samples lie together.
struct Record {
    double value;
    double timestamp;
};

// Rows brought together by label, stably: series in ascending label order,
// each with its rows in row order, copied once into records, and each row's
// place among them. Labels become dense ids first: counted by value in a
// window of values that widens as they come, where they span at most n + 1
// values; else through a hash table of the distinct labels for each run of
// rows, whose labels a radix sort then ranks, or, where more than about
// half a run's rows have labels of their own, by a radix sort of all
// (label, row) pairs. One counting pass then places the rows. Each pass but
// the sorts works on up to `workers` threads, each a run of rows.
//
// Cost O(n + distinct labels). Memory a row: the result's 16 for records
// and 4 for places (8 beyond kNarrowLabelIds rows), in which the ids are
// made; while it runs, up to 12 for the counts (20 while a window widens),
// 24 for the hash tables or 32 for the pairs' sort.
struct GroupedFleet {
    OwnedBuffer<Record> records;
    OwnedBuffer<std::uint64_t> starts;
    // One of them holds each row's place among the records.
    OwnedBuffer<std::uint32_t> narrow_places;
    OwnedBuffer<std::uint64_t> wide_places;
    // Whether any record's timestamp is NaN.
    bool nan_timestamps = false;

    std::uint64_t place(std::size_t row) const {
        return narrow_places.size() != 0 ? narrow_places[row] : wide_places[row];
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
std::optional<NanTimestamp> first_nan_timestamp(const GroupedFleet& fleet);

// Every series smoothed into out (n entries, in row order) on up to
// `workers` threads. Tasks are runs of consecutive series of about the same
// number of samples, longest first, so that a long series among short ones
// starts early instead of last.
void smooth_fleet(const Fleet& fleet, const SmoothingParams& params, std::size_t workers, double* out);
// The same for grouped rows; each series' results replace its values in the
// records, then each row takes its own in one pass in row order. Each worker
// copies out the timestamps of one series at a time: 8 bytes a sample of the
// longest it smooths.
void smooth_fleet(GroupedFleet& fleet, const SmoothingParams& params, std::size_t workers, double* out);

}  // namespace kiv
