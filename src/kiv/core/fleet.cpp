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

// Runs attempt() on the runs given, and where it fails on several, once
// more on one run of all n rows, which `runs` then holds. Whether it ended
// well.
template <class Attempt>
bool on_runs_then_one(std::size_t n, Runs& runs, Attempt&& attempt) {
    for (;;) {
        if (attempt()) return true;
        if (runs.count == 1) return false;
        runs = Runs(n, n, 1);
    }
}

// Rows placed by dense ids 0..id_count-1 in ascending label order, given
// each run's count of each id in `counts` (run r's at r * id_count) and each
// row's id as id_of(ids[k]), which is then replaced by the row's place. Ids
// without rows make no series.
// Rows between the prefetch of a record's place and its write: each of
// many series' places is one cache line of its own, and its misses overlap.
constexpr std::size_t kAhead = 64;
template <class Id, class IdOf>
void place_rows(std::span<const double> values, std::span<const double> timestamps, OwnedBuffer<Id>& ids,
                std::uint64_t* const counts, std::size_t id_count, const Runs& runs, IdOf&& id_of,
                GroupedFleet& grouped) {
    const std::size_t n = values.size();
    std::size_t series = 0;
    for (std::size_t j = 0; j < id_count; ++j) {
        std::uint64_t rows = 0;
        for (std::size_t r = 0; r < runs.count; ++r) rows += counts[r * id_count + j];
        series += rows != 0;
    }
    grouped.starts = OwnedBuffer<std::uint64_t>(series + 1);
    std::uint64_t at = 0;
    for (std::size_t id = 0, g = 0; id < id_count; ++id) {
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
        const std::size_t end = runs.end(r, n);
        for (std::size_t k = runs.first(r); k < end; ++k) {
            if (k + kAhead < end) __builtin_prefetch(records + mine[id_of(ids[k + kAhead])], 1);
            const double t = timestamps[k];
            unordered |= t != t;
            const Id to = static_cast<Id>(mine[id_of(ids[k])]++);
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

// One run's labels counted by key in a window of keys [low, low + size)
// that widens when a label falls outside it, to twice the keys it must hold
// (so that it is made a few times only) and no more than `limit` keys.
struct KeyWindow {
    OwnedBuffer<std::uint64_t> counts;
    std::uint64_t low = 0;

    // The least and the greatest key counted, if any.
    bool bounds(std::uint64_t& least, std::uint64_t& greatest) const {
        const std::uint64_t* const c = counts.data();
        const std::size_t size = counts.size();
        std::size_t first = 0, last = size;
        while (first < size && c[first] == 0) ++first;
        if (first == size) return false;
        while (c[last - 1] == 0) --last;
        least = low + first;
        greatest = low + last - 1;
        return true;
    }
    // Makes room for `key`; false where the keys counted and it span more
    // than `limit` values.
    bool widen(std::uint64_t key, std::uint64_t limit) {
        std::uint64_t least = key, greatest = key;
        if (bounds(least, greatest)) {
            least = std::min(least, key);
            greatest = std::max(greatest, key);
        }
        if (greatest - least >= limit) return false;
        // Twice the keys, half the room to spare on each side: the next
        // widening needs half as many keys again. Where that reaches the
        // limit, every key that keeps within it, so that no widening
        // follows (one of `limit` keys would be made again for each halving
        // of the room left): 1.5 times the limit at most.
        const std::uint64_t needed = greatest - least + 1;
        std::uint64_t size = 0, from = 0;
        if (2 * needed < limit) {
            size = std::min<std::uint64_t>(std::max<std::uint64_t>(2 * needed, thresholds::kKeyWindow), limit);
            from = least - std::min((size - needed) / 2, least);
            if (~std::uint64_t{0} - from < size - 1) from = ~std::uint64_t{0} - (size - 1);
        } else {
            from = least - std::min(limit - needed, least);
            const std::uint64_t top = greatest + std::min(limit - needed, ~std::uint64_t{0} - greatest);
            size = top - from + 1;
        }
        OwnedBuffer<std::uint64_t> wider(size);
        std::fill(wider.begin(), wider.end(), 0);
        for (std::size_t k = 0; k < counts.size(); ++k)
            if (counts[k] != 0) wider[low + k - from] = counts[k];
        counts = std::move(wider);
        low = from;
        return true;
    }
};

// Counts run r's rows into its window and sets each row's id to the low
// bits of its key; false where the keys span more than `limit` values. Each
// label is read once: another thread may write them while the interpreter
// lock is released, and one read again need not be the one counted.
template <class Id>
bool count_keys(std::span<const std::int64_t> labels, const Runs& runs, std::size_t r, std::uint64_t limit,
                KeyWindow& window, OwnedBuffer<Id>& ids) {
    const std::size_t n = labels.size();
    std::uint64_t* counts = window.counts.data();
    std::uint64_t low = window.low, size = window.counts.size();
    const std::size_t end = runs.end(r, n);
    for (std::size_t k = runs.first(r); k < end; ++k) {
        const std::uint64_t key = key_of(labels[k]);
        if (key - low >= size) {
            if (!window.widen(key, limit)) return false;
            counts = window.counts.data();
            low = window.low;
            size = window.counts.size();
        }
        ++counts[key - low];
        ids[k] = static_cast<Id>(key);
    }
    return true;
}

// Labels that span at most n + 1 values, whatever they are: each id is the
// label less the least. False, with nothing made, where they span more.
// Each of several runs' windows spans an equal share of n + 1 keys at most
// (or its rows), so that all take no more than 1.5 words a row: where one
// needs more, one run counts all the rows again.
template <class Id>
bool group_by_span(std::span<const double> values, std::span<const double> timestamps,
                   std::span<const std::int64_t> labels, std::size_t workers, OwnedBuffer<Id>& ids,
                   GroupedFleet& grouped) {
    const std::size_t n = labels.size();
    std::vector<KeyWindow> windows;
    Runs counted(n, 1, workers);
    const bool counted_all = on_runs_then_one(n, counted, [&] {
        windows = std::vector<KeyWindow>(counted.count);
        std::atomic<bool> spread{false};
        const std::uint64_t limit = std::max<std::uint64_t>((std::uint64_t{n} + 1) / counted.count, counted.rows);
        run_tasks(counted.count, counted.count, [&](std::size_t r, std::size_t, const std::atomic<bool>&) {
            if (!count_keys(labels, counted, r, limit, windows[r], ids)) spread.store(true, std::memory_order_relaxed);
        });
        return !spread.load(std::memory_order_relaxed);
    });
    if (!counted_all) return false;
    std::uint64_t least = ~std::uint64_t{0}, greatest = 0;
    for (const KeyWindow& window : windows) {
        std::uint64_t a = 0, b = 0;
        if (!window.bounds(a, b)) continue;
        least = std::min(least, a);
        greatest = std::max(greatest, b);
    }
    if (greatest - least > n) return false;  // each run's do not, all together they may
    const std::size_t id_count = greatest - least + 1;
    // Each run's counts by id, or all summed where that would take more than
    // a word a row: one run places the rows then.
    // One run's window serves as they are.
    const Runs placed = counted.count * id_count <= n ? counted : Runs(n, n, workers);
    OwnedBuffer<std::uint64_t> counts(counted.count == 1 ? 0 : placed.count * id_count);
    std::fill(counts.begin(), counts.end(), 0);
    for (std::size_t r = 0; counted.count != 1 && r < windows.size(); ++r) {
        std::uint64_t* const mine = counts.data() + (placed.count == 1 ? 0 : r * id_count);
        const KeyWindow& window = windows[r];
        for (std::size_t k = 0; k < window.counts.size(); ++k)
            if (window.counts[k] != 0) mine[window.low + k - least] += window.counts[k];
        windows[r] = KeyWindow();
    }
    std::uint64_t* const by_id = counted.count == 1 ? windows[0].counts.data() + (least - windows[0].low) : counts.data();
    const Id shift = static_cast<Id>(least);
    place_rows(values, timestamps, ids, by_id, id_count, placed,
               [shift](Id key) { return static_cast<Id>(key - shift); }, grouped);
    return true;
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

// The bits in which some keys differ.
std::uint64_t differing_bits(OwnedBuffer<Keyed>& keyed) {
    std::uint64_t any = 0, all = ~std::uint64_t{0};
    for (const Keyed& k : keyed) {
        any |= k.key;
        all &= k.key;
    }
    return any ^ all;
}

// Labels far apart: ids through a hash table for each run of rows, on its
// own thread, then ranked by label across the runs, each row's id replaced
// by its label's rank as the rows are counted; where a run fills its table,
// through one table for all the rows. Where more than about half the rows
// have labels of their own, the table would take more room than sorting
// them all: the (label, row) pairs are radix sorted instead (32 bytes a row
// while it lasts), and each row takes the rank of its label.
template <class Id>
void group_by_hashing(std::span<const double> values, std::span<const double> timestamps,
                      std::span<const std::int64_t> labels, std::size_t workers, OwnedBuffer<Id>& ids,
                      GroupedFleet& grouped) {
    const std::size_t n = labels.size();
    // Each run's distinct labels with their ids in it, made id * runs + run.
    std::vector<OwnedBuffer<Keyed>> distinct;
    Runs hashed(n, 1, workers);
    // Runs that meet most labels each fill tables that one would not.
    const bool hashed_all = on_runs_then_one(n, hashed, [&] {
        distinct = std::vector<OwnedBuffer<Keyed>>(hashed.count);
        std::atomic<bool> full{false};
        run_tasks(hashed.count, hashed.count, [&](std::size_t r, std::size_t, const std::atomic<bool>&) {
            const std::size_t end = hashed.end(r, n);
            LabelIds table(end - hashed.first(r));
            for (std::size_t k = hashed.first(r); k < end; ++k) {
                const std::uint64_t id = table.id_of(key_of(labels[k]));
                if (id == LabelIds::kFull) return full.store(true);
                ids[k] = static_cast<Id>(id);
            }
            distinct[r] = table.distinct();
            for (Keyed& label : distinct[r]) label.id = label.id * hashed.count + r;
        });
        return !full.load();
    });
    std::size_t id_count = 0;
    if (!hashed_all) {
        distinct.clear();
        // Each label read once more, into the pairs: however another thread
        // rewrites them, the sort moves a permutation of the rows.
        {
            OwnedBuffer<Keyed> sorted(n);
            for (std::size_t k = 0; k < n; ++k) sorted[k] = {key_of(labels[k]), k};
            radix_sort(sorted, differing_bits(sorted));
            for (std::size_t j = 0; j < n; ++j) {
                id_count += j != 0 && sorted[j].key != sorted[j - 1].key;
                ids[sorted[j].id] = static_cast<Id>(id_count);
            }
            ++id_count;
        }
        const Runs runs(n, id_count, workers);
        OwnedBuffer<std::uint64_t> counts(runs.count * id_count);
        run_tasks(runs.count, runs.count, [&](std::size_t r, std::size_t, const std::atomic<bool>&) {
            std::uint64_t* const mine = counts.data() + r * id_count;
            std::fill_n(mine, id_count, 0);
            const std::size_t end = runs.end(r, n);
            for (std::size_t k = runs.first(r); k < end; ++k) ++mine[ids[k]];
        });
        place_rows(values, timestamps, ids, counts.data(), id_count, runs, [](Id id) { return id; }, grouped);
        return;
    }
    // The ranks of each run's ids, run r's from rank_at[r].
    std::vector<std::size_t> rank_at(hashed.count + 1, 0);
    for (std::size_t r = 0; r < hashed.count; ++r) rank_at[r + 1] = rank_at[r] + distinct[r].size();
    OwnedBuffer<Id> ranks(rank_at.back());
    {
        OwnedBuffer<Keyed> sorted(rank_at.back());
        for (std::size_t r = 0; r < hashed.count; ++r) {
            std::copy(distinct[r].begin(), distinct[r].end(), sorted.begin() + rank_at[r]);
            distinct[r] = OwnedBuffer<Keyed>();
        }
        radix_sort(sorted, differing_bits(sorted));
        for (std::size_t j = 0; j < sorted.size(); ++j) {
            id_count += j != 0 && sorted[j].key != sorted[j - 1].key;
            const std::uint64_t run = sorted[j].id % hashed.count, id = sorted[j].id / hashed.count;
            ranks[rank_at[run] + id] = static_cast<Id>(id_count);
        }
        ++id_count;
    }
    // Each run's counts, or all summed where that would take more than a
    // word a row: one run places the rows then.
    const Runs placed = hashed.count * id_count <= n ? hashed : Runs(n, n, workers);
    OwnedBuffer<std::uint64_t> counts(placed.count * id_count);
    run_tasks(placed.count, placed.count, [&](std::size_t p, std::size_t, const std::atomic<bool>&) {
        std::uint64_t* const mine = counts.data() + p * id_count;
        std::fill_n(mine, id_count, 0);
        const std::size_t first_run = placed.count == 1 ? 0 : p, end_run = placed.count == 1 ? hashed.count : p + 1;
        for (std::size_t r = first_run; r < end_run; ++r) {
            const Id* const rank = ranks.data() + rank_at[r];
            const std::size_t end = hashed.end(r, n);
            for (std::size_t k = hashed.first(r); k < end; ++k) ++mine[ids[k] = rank[ids[k]]];
        }
    });
    place_rows(values, timestamps, ids, counts.data(), id_count, placed, [](Id id) { return id; }, grouped);
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
    workers = std::max<std::size_t>(workers, 1);
    // The labels are the caller's: each way of grouping reads each label
    // once, and the hashing once more where the counting gave up.
    const auto group = [&](auto id_kind) {
        using Id = decltype(id_kind);
        OwnedBuffer<Id> ids(n);
        if (!group_by_span(values, timestamps, labels, workers, ids, grouped))
            group_by_hashing(values, timestamps, labels, workers, ids, grouped);
    };
    // Ids and places below n (or at most n, where labels span n + 1 values).
    if (n <= thresholds::kNarrowLabelIds) {
        group(std::uint32_t{});
    } else {
        group(std::uint64_t{});
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
