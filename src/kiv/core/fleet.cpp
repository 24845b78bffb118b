#include "kiv/core/fleet.hpp"

#include <algorithm>
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

// Labels that span few values: each run of rows counts its rows per label,
// then places them after those of the labels below and of the runs before.
// Id holds a label less the least (32 bits where they span fewer values).
template <class Id>
void group_by_counting(std::span<const double> values, std::span<const double> timestamps,
                       std::span<const std::int64_t> labels, std::uint64_t least, std::uint64_t span,
                       std::size_t workers, GroupedFleet& grouped) {
    const std::size_t n = labels.size();
    // Runs of kFleetTask rows at least, whose counts take at most a word a row.
    const std::size_t runs = std::max<std::size_t>(
        1, std::min<std::size_t>({workers, n / (span + 1), n / static_cast<std::size_t>(thresholds::kFleetTask)}));
    const std::size_t per_run = (n + runs - 1) / runs;
    OwnedBuffer<std::uint64_t> next(runs * (span + 1));
    std::uint64_t* const counts = next.data();
    // Each label read once: another thread may write them while the
    // interpreter lock is released (NumPy writes without looking at
    // borrows), and a label read again need not be the one counted.
    OwnedBuffer<Id> ids(n);
    run_tasks(runs, runs, [&](std::size_t r, std::size_t, const std::atomic<bool>&) {
        std::uint64_t* const mine = counts + r * (span + 1);
        std::fill_n(mine, span + 1, 0);
        for (std::size_t k = r * per_run; k < std::min(n, (r + 1) * per_run); ++k) {
            const std::uint64_t id = key_of(labels[k]) - least;
            if (id > span) fail_changed_input();
            ++mine[ids[k] = static_cast<Id>(id)];
        }
    });
    std::size_t series = 0;
    for (std::size_t j = 0; j <= span; ++j) {
        std::uint64_t rows = 0;
        for (std::size_t r = 0; r < runs; ++r) rows += counts[r * (span + 1) + j];
        series += rows != 0;
    }
    grouped.starts = OwnedBuffer<std::uint64_t>(series + 1);
    std::uint64_t at = 0;
    for (std::size_t j = 0, g = 0; j <= span; ++j) {
        const std::uint64_t first = at;
        for (std::size_t r = 0; r < runs; ++r) at += std::exchange(counts[r * (span + 1) + j], at);
        if (at != first) grouped.starts[g++] = first;
    }
    grouped.starts[series] = at;
    grouped.values = OwnedBuffer<double>(n);
    grouped.timestamps = OwnedBuffer<double>(n);
    grouped.rows = OwnedBuffer<std::uint64_t>(n);
    run_tasks(runs, runs, [&](std::size_t r, std::size_t, const std::atomic<bool>&) {
        std::uint64_t* const mine = counts + r * (span + 1);
        for (std::size_t k = r * per_run; k < std::min(n, (r + 1) * per_run); ++k) {
            const std::uint64_t to = mine[ids[k]]++;
            grouped.values[to] = values[k];
            grouped.timestamps[to] = timestamps[k];
            grouped.rows[to] = k;
        }
    });
}

struct Keyed {
    std::uint64_t key;
    std::uint64_t row;
};

// Labels far apart: a stable radix sort of (key, row) on each byte in which
// some keys differ, least significant first. Each label is read once, into
// the records: however another thread rewrites them, the passes move a
// permutation of the rows.
void group_by_radix(std::span<const double> values, std::span<const double> timestamps,
                    std::span<const std::int64_t> labels, std::uint64_t differing, GroupedFleet& grouped) {
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
    std::size_t series = 1;
    for (std::size_t k = 1; k < n; ++k) series += sorted[k].key != sorted[k - 1].key;
    grouped.starts = OwnedBuffer<std::uint64_t>(series + 1);
    grouped.rows = OwnedBuffer<std::uint64_t>(n);
    for (std::size_t k = 0, g = 0; k < n; ++k) {
        if (k == 0 || sorted[k].key != sorted[k - 1].key) grouped.starts[g++] = k;
        grouped.rows[k] = sorted[k].row;
    }
    grouped.starts[series] = n;
    sorted = OwnedBuffer<Keyed>();
    grouped.values = OwnedBuffer<double>(n);
    grouped.timestamps = OwnedBuffer<double>(n);
    for (std::size_t k = 0; k < n; ++k) {
        grouped.values[k] = values[grouped.rows[k]];
        grouped.timestamps[k] = timestamps[grouped.rows[k]];
    }
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

}  // namespace

GroupedFleet group_fleet(std::span<const double> values, std::span<const double> timestamps,
                         std::span<const std::int64_t> labels, std::size_t workers) {
    const std::size_t n = labels.size();
    if (values.size() != n || timestamps.size() != n) fail("labels, values and timestamps of unlike lengths");
    GroupedFleet grouped;
    if (n == 0) {
        grouped.starts = OwnedBuffer<std::uint64_t>(1);
        grouped.starts[0] = 0;
        return grouped;
    }
    // The labels are the caller's: the ways of grouping below read each one
    // once more and never trust it to lie within what this pass found.
    std::uint64_t least = ~std::uint64_t{0}, most = 0, any = 0, all = ~std::uint64_t{0};
    for (const std::int64_t label : labels) {
        const std::uint64_t key = key_of(label);
        least = std::min(least, key);
        most = std::max(most, key);
        any |= key;
        all &= key;
    }
    if (most - least <= n) {
        const std::uint64_t span = most - least;
        workers = std::max<std::size_t>(workers, 1);
        if (span <= 0xFFFFFFFF) {
            group_by_counting<std::uint32_t>(values, timestamps, labels, least, span, workers, grouped);
        } else {
            group_by_counting<std::uint64_t>(values, timestamps, labels, least, span, workers, grouped);
        }
    } else {
        group_by_radix(values, timestamps, labels, any ^ all, grouped);
    }
    return grouped;
}

std::optional<NanTimestamp> first_nan_timestamp(const Fleet& fleet) {
    // The timestamps may be the caller's: one NaN written after this looking
    // is met by the pipeline's own check.
    const std::span<const double> t = fleet.timestamps;
    if (t.size() < 2 || !kernels().time_shape(t.data(), t.size()).nan) return std::nullopt;
    std::optional<NanTimestamp> first;
    for (std::size_t g = 0; g + 1 < fleet.starts.size(); ++g) {
        const std::uint64_t from = fleet.starts[g], to = fleet.starts[g + 1];
        if (to - from < 2) continue;
        for (std::uint64_t k = from; k < to; ++k) {
            if (at(t, k) == at(t, k)) continue;
            const std::uint64_t row = fleet.rows.empty() ? k : at(fleet.rows, k);
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
    // No more workers than tasks of kFleetTask samples, each with several
    // tasks, so that the last ones to finish are short.
    workers = std::clamp<std::size_t>(workers, 1, std::max<std::size_t>(1, n / thresholds::kFleetTask));
    const std::uint64_t target = workers == 1 ? n : std::max<std::uint64_t>(n / workers / 16, thresholds::kFleetTask);
    std::vector<Task> tasks = plan_tasks(fleet.starts, target);
    if (workers > 1) {
        std::stable_sort(tasks.begin(), tasks.end(),
                         [](const Task& a, const Task& b) { return a.samples > b.samples; });
    }
    // Each worker's results of one series, before they go to their rows.
    std::vector<OwnedBuffer<double>> smoothed(std::min(workers, tasks.size()));
    run_tasks(tasks.size(), workers, [&](std::size_t t, std::size_t worker, const std::atomic<bool>& stop) {
        const Task task = tasks[t];
        for (std::size_t g = task.first; g < task.end; ++g) {
            if (stop.load(std::memory_order_relaxed)) return;
            const std::uint64_t from = fleet.starts[g], to = fleet.starts[g + 1];
            if (to < from || to > n) fail("a fleet whose series do not cover its samples");
            const std::size_t len = to - from;
            const auto values = fleet.values.subspan(from, len), timestamps = fleet.timestamps.subspan(from, len);
            if (fleet.rows.empty()) {
                smooth_pipeline_into(values, timestamps, params, out + from);
                continue;
            }
            OwnedBuffer<double>& room = smoothed.at(worker);
            if (room.size() < len) {
                room = OwnedBuffer<double>();  // freed before the larger one is made
                room = OwnedBuffer<double>(len);
            }
            smooth_pipeline_into(values, timestamps, params, room.data());
            const std::uint64_t* rows = fleet.rows.data() + from;
            for (std::size_t k = 0; k < len; ++k) {
                if (rows[k] >= n) fail_index(n, rows[k]);
                out[rows[k]] = room[k];
            }
        }
    });
}

}  // namespace kiv
