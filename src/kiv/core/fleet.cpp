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

// Rows per run of the counting passes, each run on a thread of its own:
// runs of kFleetTask rows at least, whose counts take at most a word a row.
struct Runs {
    std::size_t count, rows;

    Runs(std::size_t n, std::size_t ids, std::size_t workers) {
        count = std::max<std::size_t>(
            1, std::min<std::size_t>({workers, n / std::max<std::size_t>(ids, 1),
                                      n / static_cast<std::size_t>(thresholds::kFleetTask)}));
        rows = (n + count - 1) / count;
    }
    std::size_t first(std::size_t r) const { return r * rows; }
    std::size_t end(std::size_t r, std::size_t n) const { return std::min(n, (r + 1) * rows); }
};

// Rows placed by dense ids 0..ids-1, ids[k] written by id_of(k) in the
// counting pass (which reads each label once: another thread may write them
// while the interpreter lock is released, and a label read again need not be
// the one counted), then replaced by the row's place. Series follow
// `ranked`, the ids in ascending label order (empty: ascending ids); ids
// without rows make no series.
template <class Id, class IdOf>
void group_by_ids(std::span<const double> values, std::span<const double> timestamps, OwnedBuffer<Id>& ids,
                  std::size_t id_count, std::span<const std::uint64_t> ranked, const Runs& runs,
                  IdOf&& id_of, GroupedFleet& grouped) {
    const std::size_t n = values.size();
    OwnedBuffer<std::uint64_t> next(runs.count * id_count);
    std::uint64_t* const counts = next.data();
    run_tasks(runs.count, runs.count, [&](std::size_t r, std::size_t, const std::atomic<bool>&) {
        std::uint64_t* const mine = counts + r * id_count;
        std::fill_n(mine, id_count, 0);
        for (std::size_t k = runs.first(r); k < runs.end(r, n); ++k) ++mine[ids[k] = id_of(k)];
    });
    const auto id_at = [&](std::size_t j) -> std::size_t { return ranked.empty() ? j : ranked[j]; };
    std::size_t series = 0;
    for (std::size_t j = 0; j < id_count; ++j) {
        std::uint64_t rows = 0;
        for (std::size_t r = 0; r < runs.count; ++r) rows += counts[r * id_count + j];
        series += rows != 0;
    }
    grouped.starts = OwnedBuffer<std::uint64_t>(series + 1);
    std::uint64_t at = 0;
    for (std::size_t j = 0, g = 0; j < id_count; ++j) {
        const std::size_t id = id_at(j);
        const std::uint64_t first = at;
        for (std::size_t r = 0; r < runs.count; ++r) at += std::exchange(counts[r * id_count + id], at);
        if (at != first) grouped.starts[g++] = first;
    }
    grouped.starts[series] = at;
    grouped.records = OwnedBuffer<Record>(n);
    std::atomic<bool> nan{false};
    run_tasks(runs.count, runs.count, [&](std::size_t r, std::size_t, const std::atomic<bool>&) {
        std::uint64_t* const mine = counts + r * id_count;
        Record* const records = grouped.records.data();
        bool unordered = false;
        for (std::size_t k = runs.first(r); k < runs.end(r, n); ++k) {
            const double t = timestamps[k];
            unordered |= t != t;
            const Id to = static_cast<Id>(mine[ids[k]]++);
            records[to] = {values[k], t};
            ids[k] = to;
        }
        if (unordered) nan.store(true, std::memory_order_relaxed);
    });
    grouped.nan_timestamps = nan.load(std::memory_order_relaxed);
    if constexpr (sizeof(Id) == 4) {
        grouped.narrow_places = std::move(ids);
    } else {
        grouped.wide_places = std::move(ids);
    }
}

struct Keyed {
    std::uint64_t key;
    std::uint64_t id;
};

// A stable radix sort of `sorted` by key on each byte in which some keys
// differ, least significant first. However the keys were rewritten meanwhile,
// the records come out a permutation of those that went in.
void radix_sort(OwnedBuffer<Keyed>& sorted, std::uint64_t differing) {
    const std::size_t n = sorted.size();
    OwnedBuffer<Keyed> other(n);
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

// Distinct labels to dense ids in the order they are first met: open
// addressing, at most half full, so that a lookup touches one or two slots.
// It holds at most `most` slots (16 bytes each): a label that would need
// more gets kFull.
class LabelIds {
public:
    static constexpr std::uint64_t kFull = ~std::uint64_t{0};

    explicit LabelIds(std::size_t most)
        : slots_(thresholds::kLabelSlots), most_(std::max(most, thresholds::kLabelSlots)) {
        clear();
    }

    std::uint64_t id_of(std::uint64_t key) {
        for (std::size_t at = slot_of(key);; at = (at + 1) & mask_) {
            Keyed& slot = slots_[at];
            if (slot.id == 0) {
                if (2 * (size_ + 1) > slots_.size()) {
                    if (2 * slots_.size() > most_) return kFull;
                    grow();
                    return id_of(key);
                }
                slot = {key, ++size_};
                return size_ - 1;
            }
            if (slot.key == key) return slot.id - 1;
        }
    }
    // Each distinct label and its id, in any order.
    OwnedBuffer<Keyed> distinct() const {
        OwnedBuffer<Keyed> out(size_);
        std::size_t g = 0;
        for (std::size_t at = 0; at < slots_.size(); ++at)
            if (slots_[at].id != 0) out[g++] = {slots_[at].key, slots_[at].id - 1};
        return out;
    }

private:
    // Ids are stored plus one: 0 marks an empty slot.
    OwnedBuffer<Keyed> slots_;
    std::size_t most_, mask_ = 0, size_ = 0;

    void clear() {
        std::fill(slots_.begin(), slots_.end(), Keyed{0, 0});
        mask_ = slots_.size() - 1;
    }
    // Keys of a few bits that differ (serial numbers, multiples of a power
    // of two) spread over the table.
    std::size_t slot_of(std::uint64_t key) const {
        key ^= key >> 32;
        key *= 0xD6E8FEB86659FD93ULL;
        key ^= key >> 32;
        return static_cast<std::size_t>(key) & mask_;
    }
    void grow() {
        OwnedBuffer<Keyed> old = std::move(slots_);
        slots_ = OwnedBuffer<Keyed>(2 * old.size());
        clear();
        for (const Keyed& slot : old) {
            if (slot.id == 0) continue;
            std::size_t at = slot_of(slot.key);
            while (slots_[at].id != 0) at = (at + 1) & mask_;
            slots_[at] = slot;
        }
    }
};

// Labels far apart: ids through the hash table, ranked by label. Where more
// than about half the rows have labels of their own, the table would take
// more room than sorting them all: the (label, row) pairs are radix sorted
// instead (32 bytes a row while it lasts), and each row takes the rank of
// its label.
template <class Id>
void group_by_hashing(std::span<const double> values, std::span<const double> timestamps,
                      std::span<const std::int64_t> labels, std::uint64_t differing, std::size_t workers,
                      GroupedFleet& grouped) {
    const std::size_t n = labels.size();
    OwnedBuffer<Id> ids(n);
    OwnedBuffer<std::uint64_t> ranked;
    std::size_t id_count = 0;
    {
        LabelIds table(n);
        bool full = false;
        for (std::size_t k = 0; k < n && !full; ++k) {
            const std::uint64_t id = table.id_of(key_of(labels[k]));
            full = id == LabelIds::kFull;
            ids[k] = static_cast<Id>(id);
        }
        OwnedBuffer<Keyed> sorted = full ? OwnedBuffer<Keyed>(n) : table.distinct();
        table = LabelIds(0);
        // Each label read once more, into the pairs: however another thread
        // rewrites them, the sort moves a permutation of the rows.
        for (std::size_t k = 0; full && k < n; ++k) sorted[k] = {key_of(labels[k]), k};
        radix_sort(sorted, differing);
        if (full) {
            for (std::size_t j = 0; j < n; ++j) {
                id_count += j != 0 && sorted[j].key != sorted[j - 1].key;
                ids[sorted[j].id] = static_cast<Id>(id_count);
            }
            ++id_count;
        } else {
            id_count = sorted.size();
            ranked = OwnedBuffer<std::uint64_t>(id_count);
            for (std::size_t j = 0; j < id_count; ++j) ranked[j] = sorted[j].id;
        }
    }
    // The ids are kiv's own now: the counting pass reads them as they are.
    group_by_ids(values, timestamps, ids, id_count, {ranked.data(), ranked.size()}, Runs(n, id_count, workers),
                 [&](std::size_t k) { return ids[k]; }, grouped);
}

// Labels that span few values: each id is the label less the least.
template <class Id>
void group_by_span(std::span<const double> values, std::span<const double> timestamps,
                   std::span<const std::int64_t> labels, std::uint64_t least, std::uint64_t span,
                   std::size_t workers, GroupedFleet& grouped) {
    const std::size_t n = labels.size();
    OwnedBuffer<Id> ids(n);
    group_by_ids(values, timestamps, ids, span + 1, {}, Runs(n, span + 1, workers),
                 [&](std::size_t k) {
                     const std::uint64_t id = key_of(labels[k]) - least;
                     if (id > span) fail_changed_input();
                     return static_cast<Id>(id);
                 },
                 grouped);
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
    workers = std::max<std::size_t>(workers, 1);
    // Ids and places below n (or at most n, where labels span n + 1 values).
    const bool narrow = n <= thresholds::kNarrowLabelIds;
    if (most - least <= n) {
        const std::uint64_t span = most - least;
        if (narrow) {
            group_by_span<std::uint32_t>(values, timestamps, labels, least, span, workers, grouped);
        } else {
            group_by_span<std::uint64_t>(values, timestamps, labels, least, span, workers, grouped);
        }
    } else if (narrow) {
        group_by_hashing<std::uint32_t>(values, timestamps, labels, any ^ all, workers, grouped);
    } else {
        group_by_hashing<std::uint64_t>(values, timestamps, labels, any ^ all, workers, grouped);
    }
    return grouped;
}

std::optional<NanTimestamp> first_nan_timestamp(const Fleet& fleet) {
    // The timestamps may be the caller's: one NaN written after this looking
    // is met by the pipeline's own check.
    const std::span<const double> t = fleet.timestamps;
    if (t.size() < 2 || !kernels().time_shape(t.data(), t.size()).nan) return std::nullopt;
    for (std::size_t g = 0; g + 1 < fleet.starts.size(); ++g) {
        const std::uint64_t from = fleet.starts[g], to = fleet.starts[g + 1];
        if (to - from < 2) continue;
        // series in row order: the first found comes first
        for (std::uint64_t k = from; k < to; ++k)
            if (at(t, k) != at(t, k)) return NanTimestamp{g, k};
    }
    return std::nullopt;
}

std::optional<NanTimestamp> first_nan_timestamp(const GroupedFleet& fleet) {
    if (!fleet.nan_timestamps) return std::nullopt;
    const std::span<const std::uint64_t> starts{fleet.starts.data(), fleet.starts.size()};
    // rows in row order: the first found in a series of two or more comes first
    for (std::size_t row = 0; row < fleet.records.size(); ++row) {
        const std::uint64_t place = fleet.place(row);
        const double t = at(fleet.records, place).timestamp;
        if (t == t) continue;
        const auto end = std::upper_bound(starts.begin(), starts.end(), place);
        if (end == starts.begin() || end == starts.end()) fail("a row placed beyond its fleet's series");
        if (*end - *(end - 1) >= 2) return NanTimestamp{static_cast<std::uint64_t>(end - starts.begin() - 1), row};
    }
    return std::nullopt;
}

namespace {

// Tasks for `workers` threads, and how many threads take them.
std::vector<Task> plan_fleet(std::span<const std::uint64_t> starts, std::size_t n, std::size_t& workers) {
    // No more workers than tasks of kFleetTask samples, each with several
    // tasks, so that the last ones to finish are short.
    workers = std::clamp<std::size_t>(workers, 1, std::max<std::size_t>(1, n / thresholds::kFleetTask));
    const std::uint64_t target = workers == 1 ? n : std::max<std::uint64_t>(n / workers / 16, thresholds::kFleetTask);
    std::vector<Task> tasks = plan_tasks(starts, target);
    if (workers > 1) {
        std::stable_sort(tasks.begin(), tasks.end(),
                         [](const Task& a, const Task& b) { return a.samples > b.samples; });
    }
    return tasks;
}

[[noreturn]] void fail_cover() { fail("a fleet whose series do not cover its samples"); }
[[noreturn]] std::size_t fail_cover_index(std::uint64_t place, std::size_t n) { fail_index(n, place); }

}  // namespace

void smooth_fleet(const Fleet& fleet, const SmoothingParams& params, std::size_t workers, double* out) {
    const std::size_t n = fleet.values.size();
    if (fleet.timestamps.size() != n || fleet.starts.empty() || fleet.starts.front() != 0 ||
        fleet.starts.back() != n) {
        fail_cover();
    }
    if (n == 0) return;
    const std::vector<Task> tasks = plan_fleet(fleet.starts, n, workers);
    run_tasks(tasks.size(), workers, [&](std::size_t t, std::size_t, const std::atomic<bool>& stop) {
        for (std::size_t g = tasks[t].first; g < tasks[t].end; ++g) {
            if (stop.load(std::memory_order_relaxed)) return;
            const std::uint64_t from = fleet.starts[g], to = fleet.starts[g + 1];
            if (to < from || to > n) fail_cover();
            smooth_pipeline_into(fleet.values.subspan(from, to - from), fleet.timestamps.subspan(from, to - from),
                                 params, out + from);
        }
    });
}

void smooth_fleet(GroupedFleet& fleet, const SmoothingParams& params, std::size_t workers, double* out) {
    const std::size_t n = fleet.records.size();
    const std::size_t ends = fleet.starts.size();
    if (ends == 0 || fleet.starts[0] != 0 || fleet.starts[ends - 1] != n ||
        fleet.narrow_places.size() + fleet.wide_places.size() != n) {
        fail_cover();
    }
    if (n == 0) return;
    const std::vector<Task> tasks = plan_fleet({fleet.starts.data(), ends}, n, workers);
    // Each worker's one series at a time: its timestamps. The values are
    // packed into the first half of the series' own records and the results
    // made in the second half, so that the records hold them in between.
    std::vector<OwnedBuffer<double>> scratch(std::min(workers, tasks.size()));
    Record* const records = fleet.records.data();
    run_tasks(tasks.size(), workers, [&](std::size_t t, std::size_t worker, const std::atomic<bool>& stop) {
        for (std::size_t g = tasks[t].first; g < tasks[t].end; ++g) {
            if (stop.load(std::memory_order_relaxed)) return;
            const std::uint64_t from = fleet.starts[g], to = fleet.starts[g + 1];
            if (to < from || to > n) fail_cover();
            const std::size_t len = to - from;
            OwnedBuffer<double>& ts = scratch.at(worker);
            if (ts.size() < len) {
                ts = OwnedBuffer<double>();  // freed before the larger one is made
                ts = OwnedBuffer<double>(len);
            }
            double* const packed = reinterpret_cast<double*>(records + from);
            // Entry k is written only after entries 2k and 2k + 1 were read.
            for (std::size_t k = 0; k < len; ++k) {
                const Record r = records[from + k];
                ts[k] = r.timestamp;
                packed[k] = r.value;
            }
            double* const smoothed = packed + len;
            smooth_pipeline_into({packed, len}, {ts.data(), len}, params, smoothed);
            // Back to records: record k's value is entry 2k, written after
            // entry len + k and every result before it were read.
            for (std::size_t k = 0; k < len; ++k) records[from + k].value = smoothed[k];
        }
    });
    // Each row takes its result from its place, a permutation of kiv's own:
    // reads from a few streams (or anywhere), the writes in row order.
    const std::size_t parts = std::min<std::size_t>(workers, std::max<std::size_t>(1, n / thresholds::kFleetTask));
    const std::size_t per_part = (n + parts - 1) / parts;
    const auto gather = [&](const auto* places) {
        run_tasks(parts, parts, [&](std::size_t part, std::size_t, const std::atomic<bool>&) {
            for (std::size_t k = part * per_part; k < std::min(n, (part + 1) * per_part); ++k) {
                out[k] = records[places[k] < n ? places[k] : fail_cover_index(places[k], n)].value;
            }
        });
    };
    if (fleet.narrow_places.size() != 0) {
        gather(fleet.narrow_places.data());
    } else {
        gather(fleet.wide_places.data());
    }
}

}  // namespace kiv
