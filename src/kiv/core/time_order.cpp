// Three paths, each giving exactly the stable order: insertion for a few
// samples; for a log that is nearly in order, its ascending backbone merged
// with the few samples set aside (themselves ordered recursively); for any
// other, a most-significant-digit radix sort of order-preserving keys.
//
// Cost, whatever the timestamps: O(n). Insertion takes at most
// kInsertionMaximum samples. The merge scans once and gives up as soon as
// more than n / kAsideShare samples go aside, so the samples it orders
// recursively shrink eightfold a level, and the merge back gallops. The
// radix sort splits a bucket of m records by about log2(m) bits at a time
// (11 or 12 for large ones, at least 4 above kInsertionMaximum), each level
// but the first starting at the highest bit in which the bucket's keys
// differ (a level that finds them all alike looks for it), so at most
// 2 * 16 passes over a record whatever the keys; it ranks buckets of up to
// kRunBucket records among their neighbours in one pass; equal keys end in
// an insertion that moves nothing.
#include "kiv/core/time_order.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "kiv/core/buffer.hpp"
#include "kiv/core/kernels.hpp"
#include "kiv/core/thresholds.hpp"

namespace kiv {

namespace {

template <class Index>
void insertion_order(std::span<const double> t, Index* order, double* sorted) {
    for (std::size_t k = 0; k < t.size(); ++k) {
        const double x = t[k];
        std::size_t j = k;
        for (; j > 0 && x < sorted[j - 1]; --j) {
            order[j] = order[j - 1];
            sorted[j] = sorted[j - 1];
        }
        order[j] = static_cast<Index>(k);
        sorted[j] = x;
    }
}

// At most 2^11 buckets a split over records beyond the caches: more would
// scatter writes to more places than the caches follow; 2^12 within them.
constexpr int kDigitBits = 11;
constexpr int kCachedDigitBits = 12;

// A digit that leaves one or two records per bucket on average: nearly all
// buckets are then ranked in one pass without branches (rank_run).
int digit_for(std::size_t m, int bits) {
    const int most = m <= thresholds::kCachedRecords ? kCachedDigitBits : kDigitBits;
    return std::min({bits, most, std::max(1, static_cast<int>(std::bit_width(m)) - 1)});
}

// A key and the index of its sample, moved together: one stream of writes
// per bucket.
template <class Index>
struct Record {
    std::uint64_t key;
    Index index;
};

// The double of a key (kernels' time_keys makes them); both zeros come back
// as +0.0.
inline double from_key(std::uint64_t key) {
    return std::bit_cast<double>(key >> 63 ? key & ~(std::uint64_t{1} << 63) : ~key);
}

// Where the sorted records go: their indices and timestamps, the latter
// from the keys (less `least`) rather than read at random from t.
template <class Index>
struct SortedOutput {
    Index* order;
    double* sorted;
    const double* t;
    std::uint64_t least;
    SortedOutput operator+(std::size_t k) const { return {order + k, sorted + k, t, least}; }
};

// Writes the record at sorted position `at`.
template <class Index>
inline void write_sorted(const Record<Index>& r, SortedOutput<Index> out, std::size_t at) {
    out.order[at] = r.index;
    const double x = from_key(r.key + out.least);
    out.sorted[at] = x == 0.0 ? out.t[r.index] : x;  // the zero's own sign
}

template <class Index>
void insertion_by_key(Record<Index>* records, std::size_t m, SortedOutput<Index> out) {
    for (std::size_t k = 1; k < m; ++k) {
        const Record<Index> r = records[k];
        std::size_t j = k;
        for (; j > 0 && r.key < records[j - 1].key; --j) records[j] = records[j - 1];
        records[j] = r;
    }
    for (std::size_t k = 0; k < m; ++k) write_sorted(records[k], out, k);
}

// Records whose keys ascend but within buckets of at most kRunBucket
// neighbours: each goes straight to its place, found by comparing it with
// its neighbours as far as a bucket reaches (records farther off are in
// other buckets, so already in order with it). Insertion would mispredict
// a branch for about every record.
template <class Index>
inline std::size_t rank_among(const Record<Index>* records, std::size_t i, std::size_t lo, std::size_t hi) {
    const std::uint64_t key = records[i].key;
    // Equal keys keep their order: only a strictly larger key before i or
    // a strictly smaller one after it moves i.
    std::size_t at = i;
    for (std::size_t j = lo; j < i; ++j) at -= static_cast<std::size_t>(records[j].key > key);
    for (std::size_t j = i + 1; j < hi; ++j) at += static_cast<std::size_t>(records[j].key < key);
    return at;
}

template <class Index>
void rank_run(const Record<Index>* records, std::size_t m, SortedOutput<Index> out) {
    constexpr std::size_t reach = thresholds::kRunBucket - 1;
    std::size_t i = 0;
    for (; i < m && i < reach; ++i) write_sorted(records[i], out, rank_among(records, i, 0, std::min(m, i + reach + 1)));
    for (; i + reach < m; ++i) write_sorted(records[i], out, rank_among(records, i, i - reach, i + reach + 1));
    for (; i < m; ++i) write_sorted(records[i], out, rank_among(records, i, i - reach, m));
}

template <class Index, class SpareAt>
void order_buckets(Record<Index>* scattered, const Index* ends, std::size_t buckets, std::size_t m, int bits,
                   SortedOutput<Index> out, SpareAt spare_at);

// The m records in the order of the low `bits` bits of their keys,
// stably, written to `out`: scattered by their leading digit into the
// spare, each bucket then ordered alike with the records' room as spare.
template <class Index>
void msd_order(Record<Index>* records, std::size_t m, int bits, SortedOutput<Index> out, Record<Index>* spare) {
    // Small splits count on the stack: recursion goes a few levels deep.
    std::array<Index, 257> few;
    std::vector<Index> many;
    for (;;) {
        if (m <= thresholds::kInsertionMaximum || bits == 0) return insertion_by_key(records, m, out);
        const int digit = digit_for(m, bits);
        const int shift = bits - digit;
        const std::size_t buckets = std::size_t{1} << digit;
        const auto bucket = [&](std::uint64_t key) { return static_cast<std::size_t>(key >> shift) & (buckets - 1); };
        if (buckets < few.size()) {
            std::fill_n(few.begin(), buckets + 1, Index{0});
        } else {
            many.assign(buckets + 1, 0);
        }
        Index* const ends = buckets < few.size() ? few.data() : many.data();
        for (std::size_t k = 0; k < m; ++k) ++ends[bucket(records[k].key) + 1];
        bits = shift;
        if (ends[bucket(records[0].key) + 1] == m) {
            // One bucket: nothing moves. The keys share every bit down to
            // the highest in which any of them differ, so split there next
            // instead of a digit at a time (bursts of readings microseconds
            // apart differ only in their low bits).
            std::uint64_t differ = 0;
            for (std::size_t k = 1; k < m; ++k) differ |= records[k].key ^ records[0].key;
            bits = std::bit_width(differ);
            continue;
        }
        for (std::size_t b = 1; b < buckets; ++b) ends[b] += ends[b - 1];
        for (std::size_t k = 0; k < m; ++k) spare[ends[bucket(records[k].key)]++] = records[k];  // then bucket ends
        return order_buckets(spare, ends, buckets, m, bits, out, [records](std::size_t from) { return records + from; });
    }
}

// Orders each of the buckets within itself, bucket b of `scattered` ending
// at ends[b]: neighbouring small buckets are ranked in one pass (most are
// small, and a call for each would cost more than its sorting), larger ones
// split again with spare_at(their start) as spare.
template <class Index, class SpareAt>
void order_buckets(Record<Index>* scattered, const Index* ends, std::size_t buckets, std::size_t m, int bits,
                   SortedOutput<Index> out, SpareAt spare_at) {
    std::size_t small_from = 0;  // where the small buckets not yet ranked begin
    for (std::size_t b = 0, from = 0; b < buckets; from = ends[b++]) {
        if (ends[b] - from <= thresholds::kRunBucket) continue;
        if (from > small_from) rank_run(scattered + small_from, from - small_from, out + small_from);
        msd_order(scattered + from, ends[b] - from, bits, out + from, spare_at(from));
        small_from = ends[b];
    }
    if (m > small_from) rank_run(scattered + small_from, m - small_from, out + small_from);
}

// Keys less their least, so that only the bits that vary are sorted; the
// first split reads the timestamps themselves.
template <class Index>
void radix_order(std::span<const double> t, Index* order, double* sorted) {
    const std::size_t n = t.size();
    // One read of each timestamp, its key kept in `sorted` (free until the
    // records are placed): another thread may write t meanwhile, and the
    // counts of one pass bound the writes of the next.
    auto key_at = [sorted](std::size_t k) { return std::bit_cast<std::uint64_t>(sorted[k]); };
    const auto [least, most] = kernels().time_keys(t.data(), n, sorted);
    const int bits = std::bit_width(most - least);
    const int shift = bits - digit_for(n, bits);
    std::vector<Index> ends((std::size_t{1} << (bits - shift)) + 1, 0);
    for (std::size_t k = 0; k < n; ++k) ++ends[((key_at(k) - least) >> shift) + 1];
    std::size_t largest = 0;
    for (std::size_t b = 1; b < ends.size(); ++b) {
        largest = std::max<std::size_t>(largest, ends[b]);
        ends[b] += ends[b - 1];
    }
    OwnedBuffer<Record<Index>> records(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t key = key_at(k) - least;
        records[ends[key >> shift]++] = {key, static_cast<Index>(k)};
    }
    OwnedBuffer<Record<Index>> spare(largest);
    order_buckets(records.data(), ends.data(), ends.size() - 1, n, shift, SortedOutput<Index>{order, sorted, t.data(), least},
                  [&spare](std::size_t) { return spare.data(); });
}

// A log nearly in time order: the samples that break the ascent are set
// aside, ordered on their own (from a copy) and merged back. The merge
// reads t again, but places every kept index once and every aside one once
// whatever it reads there: the order stays a permutation. Gives up, leaving `order`
// unspecified, when more than 1 / kAsideShare of them would be set aside.
template <class Index>
bool merge_order(std::span<const double> t, Index* order, double* sorted) {
    const std::size_t n = t.size();
    const std::size_t room = n / thresholds::kAsideShare;
    OwnedBuffer<Index> aside(room);
    std::size_t m = 0;
    // The last two samples kept; -inf stands for none before the last.
    double last = t[0], before = -std::numeric_limits<double>::infinity();
    bool previous_kept = true;
    for (std::size_t k = 1; k < n; ++k) {
        const double x = t[k];
        if (!(x < last)) {
            before = std::exchange(last, x);
            previous_kept = true;
            continue;
        }
        if (m == room) return false;
        if (previous_kept && !(x < before)) {
            // The previous sample was the odd one out (a spike): it goes aside.
            aside[m++] = static_cast<Index>(k - 1);
            last = x;
        } else {
            aside[m++] = static_cast<Index>(k);
            previous_kept = false;
        }
    }
    // The indices set aside ascend, so their own stable order is the one wanted.
    OwnedBuffer<double> times(m);
    for (std::size_t j = 0; j < m; ++j) times[j] = t[aside[j]];
    OwnedBuffer<Index> within(m);
    OwnedBuffer<double> in_order(m);
    stable_time_order<Index>({times.data(), m}, within.data(), in_order.data());

    // Both sequences ascend by (time, index): merge them by that. The kept
    // samples up to the next event (an aside sample due before one of them,
    // or one set aside in the input) are copied as a block, the event found
    // by galloping: samples one by one would cost several branches each.
    std::size_t next = 0, out = 0, k = 0;
    const auto copy_kept = [&](std::size_t to) {
        for (std::size_t i = k; i < to; ++i) {
            order[out + (i - k)] = static_cast<Index>(i);
            sorted[out + (i - k)] = t[i];
        }
        out += to - k;
        k = to;
    };
    for (std::size_t skip = 0; skip <= m; ++skip) {
        const std::size_t stop = skip < m ? static_cast<std::size_t>(aside[skip]) : n;  // kept: [k, stop)
        while (next < m && k < stop) {
            const double y = in_order[next];
            const std::size_t j = aside[within[next]];
            // Whether y goes before kept sample e: false, then true as e ascends.
            const auto goes_before = [&](std::size_t e) {
                const double x = t[e];
                return y < x || (y == x && j < e);
            };
            std::size_t lo = k, probe = k;
            for (std::size_t step = 1; probe < stop && !goes_before(probe); step *= 2) {
                lo = probe + 1;
                probe += step;
            }
            // The first e in [lo, hi) it goes before, or hi: none there.
            std::size_t hi = std::min(probe, stop);
            while (lo < hi) {
                const std::size_t mid = lo + (hi - lo) / 2;
                if (goes_before(mid)) {
                    hi = mid;
                } else {
                    lo = mid + 1;
                }
            }
            copy_kept(lo);
            if (lo == stop) break;
            order[out] = static_cast<Index>(j);
            sorted[out++] = y;
            ++next;
        }
        copy_kept(stop);
        k = stop + 1;
    }
    for (; next < m; ++next) {
        order[out] = aside[within[next]];
        sorted[out++] = in_order[next];
    }
    return true;
}

}  // namespace

template <class Index>
void stable_time_order(std::span<const double> timestamps, Index* order, double* sorted) {
    if (timestamps.size() <= thresholds::kInsertionMaximum) return insertion_order(timestamps, order, sorted);
    if (merge_order(timestamps, order, sorted)) return;
    radix_order(timestamps, order, sorted);
}

template void stable_time_order<std::uint32_t>(std::span<const double>, std::uint32_t*, double*);
template void stable_time_order<std::uint64_t>(std::span<const double>, std::uint64_t*, double*);

}  // namespace kiv
