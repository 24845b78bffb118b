// Three paths, each giving exactly the stable order: insertion for a few
// samples; for a log that is nearly in order, its ascending backbone merged
// with the few samples set aside (themselves ordered recursively); for any
// other, a least-significant-digit radix sort of order-preserving keys.
#include "kiv/core/time_order.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "kiv/core/thresholds.hpp"

namespace kiv {

namespace {

// Unsigned keys in the order of the doubles. x + 0.0 turns -0.0 into +0.0,
// so the two zeros share a key and keep their input order, as under `<`.
inline std::uint64_t key_of(double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x + 0.0);
    return bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);
}

template <class Index>
void insertion_order(std::span<const double> t, Index* order) {
    for (std::size_t k = 0; k < t.size(); ++k) {
        const double x = t[k];
        std::size_t j = k;
        for (; j > 0 && x < t[order[j - 1]]; --j) order[j] = order[j - 1];
        order[j] = static_cast<Index>(k);
    }
}

// Byte-wide digits: 256 buckets per pass keep the scattered writes in cache.
constexpr int kDigitBits = 8;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
// The first split of a large sort, by the leading bits, has at most this
// many buckets (2^11): more would scatter to more places than the caches follow.
constexpr int kSplitBits = 11;

// The indices of m records in the order of the low `bits` bits of their
// keys, stably, written to `out`; the records and the spares (room for m)
// are overwritten.
template <class Index>
void lsd_order(std::uint64_t* keys, Index* indices, std::size_t m, int bits, Index* out,
               std::uint64_t* spare_keys, Index* spare_indices) {
    const int digits = (bits + kDigitBits - 1) / kDigitBits;
    std::array<Index, kBuckets> offsets[64 / kDigitBits];
    for (int d = 0; d < digits; ++d) offsets[d].fill(0);
    for (std::size_t k = 0; k < m; ++k)
        for (int d = 0; d < digits; ++d) ++offsets[d][(keys[k] >> (d * kDigitBits)) & (kBuckets - 1)];
    // A digit that every key shares moves nothing: no pass.
    int active[64 / kDigitBits];
    int passes = 0;
    for (int d = 0; d < digits; ++d) {
        auto& count = offsets[d];
        if (count[(keys[0] >> (d * kDigitBits)) & (kBuckets - 1)] == m) continue;
        active[passes++] = d;
        Index sum = 0;
        for (Index& c : count) sum += std::exchange(c, sum);
    }
    if (passes == 0) {
        std::copy(indices, indices + m, out);
        return;
    }
    std::uint64_t* key_buffers[2] = {keys, spare_keys};
    Index* index_buffers[2] = {indices, spare_indices};
    for (int p = 0; p < passes; ++p) {
        const int shift = active[p] * kDigitBits;
        Index* const slot = offsets[active[p]].data();
        const std::uint64_t* const from_keys = key_buffers[p % 2];
        const Index* const from = index_buffers[p % 2];
        if (p + 1 == passes) {  // indices only, into place
            for (std::size_t k = 0; k < m; ++k) out[slot[(from_keys[k] >> shift) & (kBuckets - 1)]++] = from[k];
            break;
        }
        std::uint64_t* const to_keys = key_buffers[(p + 1) % 2];
        Index* const to = index_buffers[(p + 1) % 2];
        for (std::size_t k = 0; k < m; ++k) {
            const std::uint64_t key = from_keys[k];
            const Index at = slot[(key >> shift) & (kBuckets - 1)]++;
            to_keys[at] = key;
            to[at] = from[k];
        }
    }
}

// Keys less their least, so that only the bits that vary are sorted. A
// large input is split first by the leading bits into buckets about
// kRadixBucket records strong, each then sorted within the caches.
template <class Index>
void radix_order(std::span<const double> t, Index* order) {
    const std::size_t n = t.size();
    std::uint64_t least = ~std::uint64_t{0}, most = 0;
    for (const double x : t) {
        const std::uint64_t key = key_of(x);
        least = std::min(least, key);
        most = std::max(most, key);
    }
    const int bits = std::bit_width(most - least);
    const int split = std::min({bits, kSplitBits, static_cast<int>(std::bit_width(n / thresholds::kRadixBucket))});
    const int shift = bits - split;
    const auto bucket = [&](std::uint64_t key) -> std::size_t { return split == 0 ? 0 : key >> shift; };
    const auto keys = std::make_unique_for_overwrite<std::uint64_t[]>(n);
    const auto indices = std::make_unique_for_overwrite<Index[]>(n);
    // Bucket b holds [starts[b], starts[b + 1]); without a split, one bucket.
    std::vector<Index> starts((std::size_t{1} << split) + 1, 0);
    for (const double x : t) ++starts[bucket(key_of(x) - least) + 1];
    std::size_t largest = 0;
    for (std::size_t b = 1; b < starts.size(); ++b) {
        largest = std::max<std::size_t>(largest, starts[b]);
        starts[b] += starts[b - 1];
    }
    {
        std::vector<Index> next(starts.begin(), starts.end() - 1);
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint64_t key = key_of(t[k]) - least;
            const Index at = next[bucket(key)]++;
            keys[at] = key;
            indices[at] = static_cast<Index>(k);
        }
    }
    const auto spare_keys = std::make_unique_for_overwrite<std::uint64_t[]>(largest);
    const auto spare_indices = std::make_unique_for_overwrite<Index[]>(largest);
    for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
        const std::size_t from = starts[b], m = starts[b + 1] - from;
        if (m != 0)
            lsd_order(keys.get() + from, indices.get() + from, m, shift, order + from, spare_keys.get(),
                      spare_indices.get());
    }
}

// A log nearly in time order: the samples that break the ascent are set
// aside, ordered on their own and merged back. Gives up, leaving `order`
// unspecified, when more than 1 / kAsideShare of them would be set aside.
template <class Index>
bool merge_order(std::span<const double> t, Index* order) {
    const std::size_t n = t.size();
    const std::size_t room = n / thresholds::kAsideShare;
    const auto aside = std::make_unique_for_overwrite<Index[]>(room);
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
    const auto times = std::make_unique_for_overwrite<double[]>(m);
    for (std::size_t j = 0; j < m; ++j) times[j] = t[aside[j]];
    const auto within = std::make_unique_for_overwrite<Index[]>(m);
    stable_time_order<Index>({times.get(), m}, within.get());

    // Both sequences ascend by (time, index): merge them by that.
    std::size_t next = 0, skip = 0, out = 0;
    for (std::size_t k = 0; k < n; ++k) {
        if (skip < m && aside[skip] == k) {
            ++skip;
            continue;
        }
        const double x = t[k];
        for (; next < m; ++next) {
            const double y = times[within[next]];
            const Index j = aside[within[next]];
            if (!(y < x || (y == x && j < k))) break;
            order[out++] = j;
        }
        order[out++] = static_cast<Index>(k);
    }
    for (; next < m; ++next) order[out++] = aside[within[next]];
    return true;
}

}  // namespace

template <class Index>
void stable_time_order(std::span<const double> timestamps, Index* order) {
    if (timestamps.size() <= thresholds::kInsertionMaximum) return insertion_order(timestamps, order);
    if (merge_order(timestamps, order)) return;
    radix_order(timestamps, order);
}

template void stable_time_order<std::uint32_t>(std::span<const double>, std::uint32_t*);
template void stable_time_order<std::uint64_t>(std::span<const double>, std::uint64_t*);

}  // namespace kiv
