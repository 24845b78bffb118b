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
// Sample k's result goes to row k. Starts are read several times each, so
// they are kiv's own, which no other thread writes; values and timestamps
// may be the caller's: each series' pipeline writes all its results
// whatever they hold.
struct Fleet {
    std::span<const double> values;
    std::span<const double> timestamps;
    std::span<const std::uint64_t> starts;
};

// A row of a grouped fleet, its sample beside it so that one series' rows
// lie together.
struct Record {
    double value;
    double timestamp;
    std::uint64_t row;
};

// Rows brought together by label, stably: series in ascending label order,
// each with its rows in row order, copied once into records (24 bytes a
// row). Labels are first turned into dense ids (4 bytes a row, 8 beyond
// kNarrowLabelIds): those that span at most n + 1 values by subtracting the
// least, others through a hash table of the distinct labels (at most 32
// bytes a distinct label while it lasts), whose ids are then ranked by a
// radix sort of the distinct labels alone. One counting pass then places
// the rows, on up to `workers` threads, each a run of rows (counts: 8 bytes
// an id a run). Cost O(n + distinct labels).
struct GroupedFleet {
    OwnedBuffer<Record> records;
    OwnedBuffer<std::uint64_t> starts;
    // Whether any record's timestamp is NaN.
    bool nan_timestamps = false;
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
// records, then go to their rows in one pass over all of them. Each worker
// unpacks one series at a time: 24 bytes a sample of the longest it smooths.
void smooth_fleet(GroupedFleet& fleet, const SmoothingParams& params, std::size_t workers, double* out);

}  // namespace kiv
