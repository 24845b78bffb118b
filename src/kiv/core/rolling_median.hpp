#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kiv/core/sequences.hpp"

namespace kiv {

// The scale on which the sliding median ranks raw windows. A median's byte
// is trunc(median) saturated into 0..255, so raw windows need not be kept
// exactly far outside that range: those below `low` share rank 0, those
// above `high` rank top(), the integers between keep a rank each. Raw
// windows lie in [least, most], least <= 0 <= most. Collapsing keeps every
// byte as long as an odd window's middle value and an even window's pair of
// middle values saturate alike:
// - low <= 2 and high >= 254, so that a middle value, or both middle
//   values, on one collapsed side saturate;
// - one middle value collapsed and the other not: their sum saturates when
//   low <= 2 - most (below) or high >= 509 - least (above); where it need
//   not, the side is tracked: its greatest (below) or least (above) value
//   in the window is kept exactly.
struct RankScale {
    std::int64_t low, high;
    bool track_below, track_above;

    std::size_t top() const noexcept { return static_cast<std::size_t>(high - low) + 2; }
    // small_rank's base: the value of rank 0 were it not collapsed.
    double base() const noexcept { return static_cast<double>(low - 1); }
};

// The scale for raw windows that all lie within [least, most] (or are NaN).
RankScale rank_scale(double least, double most);

// For each sample i, the window byte of the NaN-skipping median of
// raw[start, end), where end = i + (w - 1) / 2 + 1 and start = end - w wrap
// modulo 2^64 and are then clamped into [0, n] (a wrapped-negative bound
// becomes 0). Empty or all-NaN windows give the byte of NaN. `ranks` are the
// raw windows on `scale` (kNoRank for NaN); `raw` gives the exact values of
// tracked sides.
//
// Cost, whatever the data: O(1) amortised a sample. Each sample is counted
// in and out once; the tracked sides' extremes are monotone queues; a query
// moves a cursor over the few ranks holding the numbers between consecutive
// medians (a window moves by one sample, so its middle values move by at
// most two numbers), skipping any empty ranks between them a 64-bit word of
// the bitmap of ranks in use at a time: at most (2 * kExactReach + 259) / 64
// words, however far apart consecutive medians lie.
//
// Narrow windows (w <= kMedianWidthMaximum) with no tracked side, which is
// the common case, are kept sorted in vectors instead: O(w) a sample, with
// no branch on the data (kernels/median.cpp).
void rolling_median_bytes(std::span<const std::uint16_t> ranks, const RankScale& scale, const RawWindows& raw,
                          std::uint64_t w, std::span<std::uint8_t> out);

// Whether rolling_median_bytes keeps the windows sorted in vectors.
bool sorted_median_applies(const RankScale& scale, std::uint64_t w);
// The same bytes by counting ranks, whatever the scale and the width.
void counted_median_bytes(std::span<const std::uint16_t> ranks, const RankScale& scale, const RawWindows& raw,
                          std::uint64_t w, std::span<std::uint8_t> out);

}  // namespace kiv
