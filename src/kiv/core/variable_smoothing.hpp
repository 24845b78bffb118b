#pragma once

#include <cstdint>
#include <span>

#include "kiv/core/buffer.hpp"

namespace kiv {

// The mean's terms, used wherever its code and thresholds speak of them:
// - block: the outputs summed together, one vector lane each: eight vectors
//   of the CPU level's lanes, so 16, 32 or 64 outputs (kMeanBlocks);
// - chunk: the outputs whose samples are prepared together (NaN replaced,
//   numbers counted) while they stay in cache: kMeanChunk outputs, a whole
//   number of blocks;
// - reach: how far from its output a window of width 255 reads (kMeanReach),
//   so a chunk reads its samples from its first output less the reach to
//   its last output plus the reach;
// - margin: +0.0 (and no further numbers counted) on each side of a chunk's
//   prepared samples (kMeanMargin), so that a block near either end of the
//   signal reads its windows as anywhere else, without a test.
//
// Mean of the non-NaN samples in each sample's centred window of widths[i].
// Cost: O(w) a sample, w <= 255: every mean is a sum in index order, bit for
// bit, which no running sum gives. Each block sums as far as its widest
// window reaches, masked per output where their widths differ. NaN and
// infinities cost as any number. The exception, O(1) a sample: a chunk
// whose samples are all integers of magnitude at most 2^38 (counts,
// quantised sensors, constant stretches), whose windows are wide on average
// (kExactMeanWidths). No sum of such numbers rounds, so prefix sums give
// the very same means.
OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::uint8_t> widths);
// The same into out (samples.size() entries).
void variable_rolling_mean_into(std::span<const double> samples, std::span<const std::uint8_t> widths,
                                double* out);

// The same for widths given as 64-bit sizes: sets `outside`, and gives no
// means, when one of the first samples.size() lies outside 0..255.
OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples, std::span<const std::int64_t> sizes,
                                          bool& outside);

}  // namespace kiv
