// The variable-width mean computed for 32 outputs at once, one SIMD lane
// each. Every lane still sums its own window from +0.0 in index order, so
// each output is bit for bit what one scalar loop per output gives. Where a
// lane skips a sample (a NaN, or one outside its window) it adds +0.0
// instead, which changes nothing: a sum that starts at +0.0 is never -0.0.
// So the kernels read the samples with every NaN replaced by +0.0 and count
// the numbers in each window apart.
#include "kiv/core/variable_smoothing.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <vector>

#include "kiv/core/failure.hpp"
#include "kiv/core/thresholds.hpp"

namespace kiv {

namespace {

// 256-bit vectors: their compares give vector masks on every x86-64 level.
constexpr std::size_t kLanes = 4;
constexpr std::size_t kBlock = thresholds::kMeanBlock;
constexpr std::size_t kVectors = kBlock / kLanes;  // independent sums hide the add latency
constexpr std::int64_t kReach = thresholds::kMeanReach;
static_assert(kVectors == 8, "block set-up compares 32 widths as four words");
using Doubles = double __attribute__((vector_size(kLanes * sizeof(double))));
using Words = std::int64_t __attribute__((vector_size(kLanes * sizeof(double))));

constexpr double kMissing = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// Adds x to the lanes that take it.
inline void take(const Doubles& x, const Words& mask, Doubles& sum) {
    // Vector casts reinterpret the bits: a lane not taking x adds +0.0.
    sum += (Doubles)((Words)x & mask);
}

// The windows of one block relative to each output: lane j of output c takes
// samples[c + d] for d from first[j] to last[j] (-floor(w/2) to ceil(w/2) - 1
// for width w; none for width 0). Both ends move monotonically with w, so
// the widest and narrowest widths give the block's extremes.
struct Offsets {
    std::int64_t lowest, highest;            // over all lanes
    std::int64_t common_first, common_last;  // taken by every lane
    // Per lane, as doubles, so that the compares are single vector instructions.
    Doubles first[kVectors] = {}, last[kVectors] = {};
};

inline std::int64_t first_of(std::int64_t w) { return w == 0 ? 1 : -(w / 2); }
inline std::int64_t last_of(std::int64_t w) { return w == 0 ? 0 : (w + 1) / 2 - 1; }

// Per-lane bounds; only needed where lanes differ or windows are cut off.
inline void fill_lanes(const std::uint8_t* widths, Offsets& o) {
    double first[kBlock], last[kBlock];
    for (std::size_t j = 0; j < kBlock; ++j) {
        first[j] = static_cast<double>(first_of(widths[j]));
        last[j] = static_cast<double>(last_of(widths[j]));
    }
    std::memcpy(o.first, first, sizeof first);
    std::memcpy(o.last, last, sizeof last);
}

// Returns whether the lanes need masks inside the samples.
inline bool offsets_of(const std::uint8_t* widths, Offsets& o) {
    std::uint8_t narrowest = widths[0], widest = widths[0];
    // Runs of one width are common: one comparison of all 32 settles them.
    using Bytes = std::uint8_t __attribute__((vector_size(kBlock)));
    using Quads = std::uint64_t __attribute__((vector_size(kBlock)));
    Bytes all;
    std::memcpy(&all, widths, sizeof all);
    const Quads same = (Quads)(all == widths[0]);
    if ((same[0] & same[1] & same[2] & same[3]) != ~std::uint64_t{0}) {
        for (std::size_t j = 1; j < kBlock; ++j) {
            narrowest = std::min(narrowest, widths[j]);
            widest = std::max(widest, widths[j]);
        }
    }
    o.lowest = std::min<std::int64_t>(first_of(widest), 0);
    o.highest = std::max<std::int64_t>(last_of(widest), -1);
    o.common_first = first_of(narrowest);
    o.common_last = last_of(narrowest);
    return narrowest != widest || narrowest == 0;
}

// Outputs [i, i + kBlock) whose windows lie inside the samples: element d of
// every lane comes from one vector load at p + d, p standing for output i.
inline void inner_block(const double* p, const Offsets& o, Doubles* sum) {
    auto masked = [&](std::int64_t d) {
        const Doubles ds = Doubles{} + static_cast<double>(d);
        for (std::size_t v = 0; v < kVectors; ++v) {
            Doubles x;
            std::memcpy(&x, p + d + static_cast<std::int64_t>(v * kLanes), sizeof x);
            take(x, (ds >= o.first[v]) & (ds <= o.last[v]), sum[v]);
        }
    };
    std::int64_t d = o.lowest;
    for (; d < o.common_first; ++d) masked(d);
    // Where every lane takes every sample, wider vectors carry the same sums
    // (plain loads and adds need no masks, which 512-bit compares would).
    using Wide = double __attribute__((vector_size(2 * sizeof(Doubles))));
    Wide wide[kVectors / 2];
    std::memcpy(wide, sum, sizeof wide);
    for (; d <= o.common_last; ++d) {
        for (std::size_t v = 0; v < kVectors / 2; ++v) {
            Wide x;
            std::memcpy(&x, p + d + static_cast<std::int64_t>(v * 2 * kLanes), sizeof x);
            wide[v] += x;
        }
    }
    std::memcpy(sum, wide, sizeof wide);
    for (; d <= o.highest; ++d) masked(d);
}

// Outputs [i, to) near the ends of the samples, where windows are cut off:
// each sample goes to the lanes whose window holds it.
inline void edge_block(const double* clean, std::size_t base, std::size_t n, std::size_t i, std::size_t to,
                       const Offsets& o, Doubles* sum) {
    const auto lowest = std::max<std::int64_t>(static_cast<std::int64_t>(i) + o.lowest, 0);
    const auto highest = std::min<std::int64_t>(static_cast<std::int64_t>(to) - 1 + o.highest,
                                                static_cast<std::int64_t>(n) - 1);
    // Each lane's output relative to output i, subtracted whole from the
    // offset of t (small integers: exact).
    static_assert(kLanes == 4);
    Doubles lane[kVectors];
    for (std::size_t v = 0; v < kVectors; ++v) lane[v] = Doubles{0.0, 1.0, 2.0, 3.0} + static_cast<double>(v * kLanes);
    for (std::int64_t t = lowest; t <= highest; ++t) {
        const Doubles xs = Doubles{} + clean[static_cast<std::size_t>(t) - base];
        const Doubles from_i = Doubles{} + static_cast<double>(t - static_cast<std::int64_t>(i));
        for (std::size_t v = 0; v < kVectors; ++v) {
            const Doubles ds = from_i - lane[v];  // offset of t from each lane's output
            take(xs, (ds >= o.first[v]) & (ds <= o.last[v]), sum[v]);
        }
    }
}

// Outputs [from, to), for every k that their windows can reach:
// clean[k - base] is samples[k] with NaN as +0.0, and present[k - base] how
// many of samples[base, k) are numbers.
}  // namespace

// Not in the anonymous namespace: clang leaves out helpers that only a
// multi-versioned function with internal linkage uses.
__attribute__((target_clones("avx512f", "avx2", "default")))
void rolling_mean_blocks(const double* clean, const std::uint32_t* present, std::size_t base,
                         const std::uint8_t* widths, std::size_t n, std::size_t from, std::size_t to, double* out) {
    for (std::size_t i = from; i < to; i += kBlock) {
        std::uint8_t block_widths[kBlock] = {};  // 0 past the end: no window
        std::copy(widths + i, widths + std::min(to, i + kBlock), block_widths);
        Offsets o;
        const bool masks = offsets_of(block_widths, o);
        Doubles sum[kVectors] = {};
        const auto first = static_cast<std::int64_t>(i) + o.lowest;
        const auto last = static_cast<std::int64_t>(i + kBlock - 1) + o.highest;
        const bool inside = first >= 0 && last < static_cast<std::int64_t>(n) && i + kBlock <= to;
        if (masks || !inside) fill_lanes(block_widths, o);
        if (inside) {
            inner_block(clean + (i - base), o, sum);
        } else {
            edge_block(clean, base, n, i, std::min(to, i + kBlock), o, sum);
        }
        // Each lane's count of numbers: its width, unless a NaN or an end of
        // the samples is near.
        Doubles count[kVectors];
        const bool numbers_only =
            inside && present[static_cast<std::size_t>(last + 1) - base] -
                              present[static_cast<std::size_t>(first) - base] ==
                          static_cast<std::uint64_t>(last + 1 - first);
        if (numbers_only) {
            using Bytes = std::uint8_t __attribute__((vector_size(kLanes)));
            for (std::size_t v = 0; v < kVectors; ++v) {
                Bytes w;
                std::memcpy(&w, block_widths + v * kLanes, sizeof w);
                count[v] = __builtin_convertvector(w, Doubles);
            }
        } else if (inside && !masks && block_widths[0] != 0) {
            // One width: each count is a difference of two runs of the prefix counts.
            double counts[kBlock];
            const std::uint32_t* after = present + (i - base) + (o.common_last + 1);
            const std::uint32_t* before = present + (i - base) + o.common_first;
            for (std::size_t j = 0; j < kBlock; ++j) counts[j] = static_cast<double>(after[j] - before[j]);
            std::memcpy(count, counts, sizeof count);
        } else if (inside) {
            double counts[kBlock];
            for (std::size_t j = 0; j < kBlock; ++j) {
                const std::int64_t w = block_widths[j];
                const auto at = static_cast<std::int64_t>(i + j - base);  // inside: never below a window
                counts[j] = w == 0 ? 0.0
                                   : static_cast<double>(present[static_cast<std::size_t>(at + last_of(w) + 1)] -
                                                         present[static_cast<std::size_t>(at + first_of(w))]);
            }
            std::memcpy(count, counts, sizeof count);
        } else {
            double counts[kBlock];
            const auto end = static_cast<std::int64_t>(n);
            for (std::size_t j = 0; j < kBlock; ++j) {
                const auto at = static_cast<std::int64_t>(i + j);
                const auto lo = std::clamp<std::int64_t>(at + first_of(block_widths[j]), 0, end);
                const auto hi = std::clamp<std::int64_t>(at + last_of(block_widths[j]) + 1, lo, end);
                counts[j] = static_cast<double>(present[static_cast<std::size_t>(hi) - base] -
                                                present[static_cast<std::size_t>(lo) - base]);
            }
            std::memcpy(count, counts, sizeof count);
        }
        double means[kBlock];
        for (std::size_t v = 0; v < kVectors; ++v) {
            const Doubles mean = sum[v] / count[v];
            const Words none = count[v] == 0.0;
            const Doubles result = (Doubles)(((Words)mean & ~none) | ((Words)(Doubles{} + kMissing) & none));
            std::memcpy(means + v * kLanes, &result, sizeof result);
        }
        if (i + kBlock <= to) {
            std::memcpy(out + i, means, sizeof means);  // a fixed size: plain vector stores
        } else {
            std::copy(means, means + (to - i), out + i);
        }
    }
}

OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::uint8_t> widths) {
    const std::size_t n = samples.size();
    if (n == 0) return OwnedBuffer<double>();
    if (widths.size() < n) fail_index(widths.size(), widths.size());
    OwnedBuffer<double> out(n);
    constexpr std::size_t kChunk = thresholds::kMeanChunk;
    const std::size_t reach = std::min(n, kChunk + 2 * kReach);  // short signals need short buffers
    std::vector<double> clean(reach);
    std::vector<std::uint32_t> present(reach + 1);
    for (std::size_t from = 0; from < n; from += kChunk) {
        const std::size_t to = std::min(n, from + kChunk);
        const std::size_t base = from < kReach ? 0 : from - kReach;
        const std::size_t top = std::min(n, to + kReach);
        for (std::size_t k = base; k < top; ++k) {
            const double x = samples[k];
            const bool number = x == x;
            clean[k - base] = number ? x : 0.0;
            present[k - base + 1] = present[k - base] + number;
        }
        rolling_mean_blocks(clean.data(), present.data(), base, widths.data(), n, from, to, out.data());
    }
    return out;
}

}  // namespace kiv
