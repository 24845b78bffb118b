// The variable-width mean computed for 32 outputs at once, one SIMD lane
// each. Every lane still sums its own window from +0.0 in index order, so
// each output is bit for bit what one scalar loop per output gives. A lane
// that does not take a sample adds +0.0 instead, which changes nothing: a
// sum that starts at +0.0 is never -0.0.
#include "kiv/core/variable_smoothing.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <vector>

#include "kiv/core/failure.hpp"

namespace kiv {

namespace {

// 256-bit vectors: their compares give vector masks on every x86-64 level.
constexpr std::size_t kLanes = 4;
constexpr std::size_t kVectors = 8;  // independent sums hide the add latency
constexpr std::size_t kBlock = kLanes * kVectors;
using Doubles = double __attribute__((vector_size(kLanes * sizeof(double))));
using Words = std::int64_t __attribute__((vector_size(kLanes * sizeof(double))));

constexpr double kMissing = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

struct Block {
    // Window of each output, cut to [0, n); empty for width 0 and past the end.
    // Doubles (exact below 2^53), so that compares are single instructions.
    Doubles start[kVectors], end[kVectors];
    std::int64_t lowest, highest;  // union of the windows
    bool shifted;                  // one window, moved by one sample per lane
};

// Outputs from i up to `to` (exclusive) of n.
inline Block windows_of(const std::uint8_t* widths, std::size_t i, std::size_t to, std::size_t n) {
    Block b;
    b.lowest = static_cast<std::int64_t>(n);
    b.highest = 0;
    b.shifted = i + kBlock <= to;
    const std::int64_t w0 = b.shifted ? widths[i] : 0;
    for (std::size_t v = 0; v < kVectors; ++v) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            const std::size_t at = i + v * kLanes + l;
            const std::int64_t w = at < to ? widths[at] : 0;
            std::int64_t first = 0, last = 0;
            if (w != 0) {
                last = static_cast<std::int64_t>(at) + (w - 1) / 2 + 1;
                first = std::clamp<std::int64_t>(last - w, 0, static_cast<std::int64_t>(n));
                last = std::min(last, static_cast<std::int64_t>(n));
            }
            b.shifted = b.shifted && w == w0 && last - first == w0;
            b.start[v][l] = static_cast<double>(first);
            b.end[v][l] = static_cast<double>(last);
            if (first < last) {
                b.lowest = std::min(b.lowest, first);
                b.highest = std::max(b.highest, last);
            }
        }
    }
    return b;
}

// Adds x to the lanes that take it.
inline void take(const Doubles& x, const Words& mask, Doubles& sum) {
    // Vector casts reinterpret the bits: a lane not taking x adds +0.0.
    sum += (Doubles)((Words)x & mask);
}

// Outputs [from, to). present[k - base]: how many of samples[base, k) are
// numbers, for every k a window of these outputs can reach.
__attribute__((target_clones("avx2", "default")))
void rolling_mean_blocks(const double* samples, const std::uint8_t* widths, std::size_t n, std::size_t from,
                         std::size_t to, const std::uint32_t* present, std::size_t base, double* out) {
    for (std::size_t i = from; i < to; i += kBlock) {
        const Block b = windows_of(widths, i, to, n);
        const bool all_numbers =
            b.lowest >= b.highest ||
            present[b.highest - base] - present[b.lowest - base] == static_cast<std::uint64_t>(b.highest - b.lowest);
        Doubles sum[kVectors] = {};
        if (b.shifted) {
            // Element t of lane j is samples[lowest + j + t]: plain loads.
            const double* p = samples + b.lowest;
            const std::int64_t w = static_cast<std::int64_t>(b.end[0][0] - b.start[0][0]);
            for (std::int64_t t = 0; t < w; ++t, ++p) {
                for (std::size_t v = 0; v < kVectors; ++v) {
                    Doubles x;
                    std::memcpy(&x, p + v * kLanes, sizeof x);
                    if (all_numbers) {
                        sum[v] += x;
                    } else {
                        take(x, x == x, sum[v]);
                    }
                }
            }
        } else {
            // Each sample under the block goes to the lanes whose window holds it.
            for (std::int64_t t = b.lowest; t < b.highest; ++t) {
                const double x = samples[t];
                if (!all_numbers && x != x) continue;
                const Doubles xs = Doubles{} + x;
                const Doubles ts = Doubles{} + static_cast<double>(t);
                for (std::size_t v = 0; v < kVectors; ++v) take(xs, (ts >= b.start[v]) & (ts < b.end[v]), sum[v]);
            }
        }
        for (std::size_t v = 0; v < kVectors; ++v) {
            for (std::size_t l = 0; l < kLanes; ++l) {
                const std::size_t at = i + v * kLanes + l;
                if (at >= to) break;
                const auto first = static_cast<std::size_t>(b.start[v][l]);
                const auto last = static_cast<std::size_t>(b.end[v][l]);
                const std::uint32_t count = present[last - base] - present[first - base];
                out[at] = count == 0 ? kMissing : sum[v][l] / static_cast<double>(count);
            }
        }
    }
}

}  // namespace

OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::uint8_t> widths) {
    const std::size_t n = samples.size();
    if (n == 0) return OwnedBuffer<double>();
    if (widths.size() < n) fail_index(widths.size(), widths.size());
    OwnedBuffer<double> out(n);
    // Counts of numbers per chunk of outputs: small enough to stay in cache.
    constexpr std::size_t kChunk = std::size_t{1} << 15;
    constexpr std::size_t kReach = 128;  // the farthest a window reaches from its output
    std::vector<std::uint32_t> present(kChunk + 2 * kReach + 1);
    for (std::size_t from = 0; from < n; from += kChunk) {
        const std::size_t to = std::min(n, from + kChunk);
        const std::size_t base = from < kReach ? 0 : from - kReach;
        const std::size_t top = std::min(n, to + kReach);
        for (std::size_t k = base; k < top; ++k)
            present[k - base + 1] = present[k - base] + (samples[k] == samples[k]);
        rolling_mean_blocks(samples.data(), widths.data(), n, from, to, present.data(), base, out.data());
    }
    return out;
}

}  // namespace kiv
