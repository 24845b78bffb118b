#include "kiv/core/fleet.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <utility>
#include <vector>

#include "kiv/core/failure.hpp"
#include "kiv/core/kernels.hpp"
#include "kiv/core/pipeline.hpp"
#include "kiv/core/thresholds.hpp"
#include "kiv/core/workers.hpp"

namespace kiv {

namespace {

// A label as an unsigned key in the same order.
std::uint64_t key_of(std::int64_t label) {
    return static_cast<std::uint64_t>(label) ^ (std::uint64_t{1} << 63);
}
std::int64_t label_of(std::uint64_t key) {
    return static_cast<std::int64_t>(key ^ (std::uint64_t{1} << 63));
}

// Labels that span few values: each row counted under its label, then
// placed after the rows of the labels below it.
Grouping group_by_counting(std::span<const std::int64_t> labels, std::uint64_t least, std::uint64_t span) {
    const std::size_t n = labels.size();
    Grouping grouping;
    std::size_t series = 0;
    {
        OwnedBuffer<std::uint64_t> next(span + 1);
        std::fill(next.begin(), next.end(), 0);
        for (std::size_t k = 0; k < n; ++k) ++next[key_of(labels[k]) - least];
        for (std::size_t j = 0; j <= span; ++j) series += next[j] != 0;
        grouping.starts = OwnedBuffer<std::uint64_t>(series + 1);
        grouping.labels = OwnedBuffer<std::int64_t>(series);
        std::uint64_t at = 0;
        std::size_t g = 0;
        for (std::size_t j = 0; j <= span; ++j) {
            const std::uint64_t count = next[j];
            if (count == 0) continue;
            grouping.starts[g] = at;
            grouping.labels[g] = label_of(least + j);
            ++g;
            next[j] = at;
            at += count;
        }
        grouping.starts[series] = at;
        grouping.rows = OwnedBuffer<std::uint64_t>(n);
        for (std::size_t k = 0; k < n; ++k) grouping.rows[next[key_of(labels[k]) - least]++] = k;
    }
    return grouping;
}

struct Keyed {
    std::uint64_t key;
    std::uint64_t row;
};

// Labels far apart: a stable radix sort of (key, row) on each byte in which
// some keys differ, least significant first.
Grouping group_by_radix(std::span<const std::int64_t> labels, std::uint64_t differing) {
    const std::size_t n = labels.size();
    OwnedBuffer<Keyed> sorted(n);
    {
        OwnedBuffer<Keyed> other(n);
        for (std::size_t k = 0; k < n; ++k) sorted[k] = {key_of(labels[k]), k};
        for (unsigned shift = 0; shift < 64; shift += 8) {
            if (((differing >> shift) & 0xFF) == 0) continue;
            std::size_t next[256] = {};
            for (std::size_t k = 0; k < n; ++k) ++next[(sorted[k].key >> shift) & 0xFF];
            std::size_t at = 0;
            for (std::size_t& count : next) at += std::exchange(count, at);
            for (std::size_t k = 0; k < n; ++k) other[next[(sorted[k].key >> shift) & 0xFF]++] = sorted[k];
            std::swap(sorted, other);
        }
    }
    Grouping grouping;
    std::size_t series = 1;
    for (std::size_t k = 1; k < n; ++k) series += sorted[k].key != sorted[k - 1].key;
    grouping.rows = OwnedBuffer<std::uint64_t>(n);
    grouping.starts = OwnedBuffer<std::uint64_t>(series + 1);
    grouping.labels = OwnedBuffer<std::int64_t>(series);
    std::size_t g = 0;
    for (std::size_t k = 0; k < n; ++k) {
        if (k == 0 || sorted[k].key != sorted[k - 1].key) {
            grouping.starts[g] = k;
            grouping.labels[g++] = label_of(sorted[k].key);
        }
        grouping.rows[k] = sorted[k].row;
    }
    grouping.starts[series] = n;
    return grouping;
}

// A run of consecutive series.
struct Task {
    std::size_t first, end;
    std::uint64_t samples;
};

// Runs of about `target` samples; a series of that many or more alone.
std::vector<Task> plan_tasks(std::span<const std::uint64_t> starts, std::uint64_t target) {
    std::vector<Task> tasks;
    const std::size_t series = starts.size() - 1;
    std::size_t first = 0;
    for (std::size_t g = 0; g < series; ++g) {
        const std::uint64_t samples = starts[g + 1] - starts[first];
        if (samples >= target || g + 1 == series) {
            tasks.push_back({first, g + 1, samples});
            first = g + 1;
        }
    }
    return tasks;
}

// A worker's room for the series it gathers, grown to the longest.
struct Scratch {
    OwnedBuffer<double> values, timestamps, smoothed;

    void reserve(std::size_t n) {
        if (values.size() >= n) return;
        values = OwnedBuffer<double>();  // freed before the larger ones are made
        timestamps = OwnedBuffer<double>();
        smoothed = OwnedBuffer<double>();
        values = OwnedBuffer<double>(n);
        timestamps = OwnedBuffer<double>(n);
        smoothed = OwnedBuffer<double>(n);
    }
};

}  // namespace

Grouping group_rows(std::span<const std::int64_t> labels) {
    const std::size_t n = labels.size();
    if (n == 0) {
        Grouping empty;
        empty.starts = OwnedBuffer<std::uint64_t>(1);
        empty.starts[0] = 0;
        return empty;
    }
    std::uint64_t least = ~std::uint64_t{0}, most = 0, any = 0, all = ~std::uint64_t{0};
    for (const std::int64_t label : labels) {
        const std::uint64_t key = key_of(label);
        least = std::min(least, key);
        most = std::max(most, key);
        any |= key;
        all &= key;
    }
    if (most - least <= n) return group_by_counting(labels, least, most - least);
    return group_by_radix(labels, any ^ all);
}

std::optional<NanTimestamp> first_nan_timestamp(const Fleet& fleet) {
    const std::span<const double> t = fleet.timestamps;
    if (t.size() < 2 || !kernels().time_shape(t.data(), t.size()).nan) return std::nullopt;
    std::optional<NanTimestamp> first;
    for (std::size_t g = 0; g + 1 < fleet.starts.size(); ++g) {
        const std::uint64_t from = fleet.starts[g], to = fleet.starts[g + 1];
        if (to - from < 2) continue;
        for (std::uint64_t k = from; k < to; ++k) {
            const std::uint64_t row = fleet.rows.empty() ? k : at(fleet.rows, k);
            if (at(t, row) == at(t, row)) continue;
            if (!first || row < first->row) first = NanTimestamp{g, row};
            break;
        }
        if (first && fleet.rows.empty()) break;  // series in row order: the first found comes first
    }
    return first;
}

void smooth_fleet(const Fleet& fleet, const SmoothingParams& params, std::size_t workers, double* out) {
    const std::size_t n = fleet.values.size();
    if (fleet.timestamps.size() != n || fleet.starts.empty() || fleet.starts.front() != 0 ||
        fleet.starts.back() != n || (!fleet.rows.empty() && fleet.rows.size() != n)) {
        fail("a fleet whose series do not cover its samples");
    }
    if (n == 0) return;
    workers = std::max<std::size_t>(workers, 1);
    // Several tasks a worker, so that the last ones to finish are short.
    const std::uint64_t target = workers == 1 ? n : std::max<std::uint64_t>(n / (16 * workers), thresholds::kFleetTask);
    std::vector<Task> tasks = plan_tasks(fleet.starts, target);
    if (workers > 1) {
        std::stable_sort(tasks.begin(), tasks.end(),
                         [](const Task& a, const Task& b) { return a.samples > b.samples; });
    }
    std::vector<Scratch> scratch(std::min(workers, tasks.size()));
    run_tasks(tasks.size(), workers, [&](std::size_t t, std::size_t worker, const std::atomic<bool>& stop) {
        const Task task = tasks[t];
        for (std::size_t g = task.first; g < task.end; ++g) {
            if (stop.load(std::memory_order_relaxed)) return;
            const std::uint64_t from = fleet.starts[g], to = fleet.starts[g + 1];
            if (to < from || to > n) fail("a fleet whose series do not cover its samples");
            const std::size_t len = to - from;
            if (fleet.rows.empty()) {
                smooth_pipeline_into(fleet.values.subspan(from, len), fleet.timestamps.subspan(from, len), params,
                                     out + from);
                continue;
            }
            Scratch& room = scratch.at(worker);
            room.reserve(len);
            const std::uint64_t* rows = fleet.rows.data() + from;
            for (std::size_t k = 0; k < len; ++k) {
                const std::uint64_t row = rows[k];
                if (row >= n) fail_index(n, row);
                room.values[k] = fleet.values[row];
                room.timestamps[k] = fleet.timestamps[row];
            }
            smooth_pipeline_into({room.values.data(), len}, {room.timestamps.data(), len}, params,
                                 room.smoothed.data());
            for (std::size_t k = 0; k < len; ++k) out[rows[k]] = room.smoothed[k];
        }
    });
}

}  // namespace kiv
