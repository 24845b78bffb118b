// Every size at which a core takes another path, in one place. Native test
// and fuzz builds define KIV_LOW_THRESHOLDS to lower the ones that otherwise
// take tens of thousands of samples to cross; the wheel never defines it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv::thresholds {

#ifdef KIV_LOW_THRESHOLDS
inline constexpr bool kLowered = true;
inline constexpr std::size_t kBandSample = 64;
inline constexpr std::size_t kMeanChunk = 64;  // below the reach: windows span chunks
inline constexpr std::int64_t kExactReach = 16;
inline constexpr std::uint64_t kNarrowIndexMaximum = 300;
inline constexpr std::size_t kCachedRecords = 64;
inline constexpr std::uint64_t kFleetTask = 16;
inline constexpr std::uint64_t kNarrowLabelIds = 20;
inline constexpr std::size_t kLabelSlots = 16;
inline constexpr std::uint64_t kKeyWindow = 2;
inline constexpr std::size_t kMedianWidthMaximum = 8;
inline constexpr std::size_t kMedianSamplesPerWidth = 2;
inline constexpr std::size_t kMedianBlock = 3;
inline constexpr std::size_t kBranchySelectMaximum = 24;
inline constexpr std::size_t kExactMeanWidths[] = {2, 2, 2};
#else
inline constexpr bool kLowered = false;
// Values sampled for the pivots of a band selection.
inline constexpr std::size_t kBandSample = 1024;
// Outputs of the variable mean per chunk (variable_smoothing.hpp defines
// the mean's chunk, block, reach and margin).
inline constexpr std::size_t kMeanChunk = std::size_t{1} << 14;
// How far below 0 and above 255 the sliding median keeps raw windows
// exactly; beyond, they are collapsed (rolling_median.hpp).
inline constexpr std::int64_t kExactReach = 1024;
// Time orders of up to this many samples use 32-bit indices.
inline constexpr std::uint64_t kNarrowIndexMaximum = 0xFFFFFFFF;
// Radix splits of up to this many records (that stay in cache) take wider
// digits.
inline constexpr std::size_t kCachedRecords = std::size_t{1} << 15;
// Samples a task of smooth_many's workers holds at least, so that taking
// one costs nothing beside its work.
inline constexpr std::uint64_t kFleetTask = 4096;
// Dense label ids of up to this value take 32 bits.
inline constexpr std::uint64_t kNarrowLabelIds = 0xFFFFFFFF;
// Slots of a fleet's hash table of labels at first, and the least it may
// grow to (beyond, up to one per row).
inline constexpr std::size_t kLabelSlots = 1024;
// Keys a run of a fleet's labels is counted over at first: the window
// widens to twice as many whenever a label falls outside it.
inline constexpr std::uint64_t kKeyWindow = 1024;
// Sliding medians of up to this many samples a window keep each window
// sorted in vectors (a step costs a few operations per sample of the
// window); wider ones count ranks.
inline constexpr std::size_t kMedianWidthMaximum = 64;
// Signals of fewer samples than this many times the width keep one sorted
// window instead of one a lane: each lane first steps through a window of
// samples before its segment, which short signals do not repay (measured
// crossings: 9 to 21 times the width at w = 8, 30 and 60, at every level).
inline constexpr std::size_t kMedianSamplesPerWidth = 12;
// Steps of the sorted windows per block of ranks turned into lanes.
inline constexpr std::size_t kMedianBlock = 256;
// Selections among up to this many numbers use std::nth_element alone;
// above, the branch-free quickselect narrows them first (order_statistics.hpp).
// On numbers new to the branch predictor (each call, each series of a
// fleet), std::nth_element mispredicts every other comparison and took 2 to
// 4 times as long at every size measured, 30 to 8,000 numbers: it only
// finishes selections whose levels ran out.
inline constexpr std::size_t kBranchySelectMaximum = 0;
// Chunks of the variable mean whose samples are all small integers, and
// whose windows are this wide on average or wider, take the means from
// prefix sums (exact there) instead of summing each window: where that
// costs less, at 2, 4 and 8 lanes (as kMeanBlocks).
inline constexpr std::size_t kExactMeanWidths[] = {16, 40, 40};
#endif

// Selections of this many numbers (not values: NaN is not counted) or more
// take the band pass; fewer select on a copy.
inline constexpr std::size_t kBandMinimum = 8 * kBandSample;
// A band pass passes its band to another one only when the band holds at
// most 1 / kBandNarrow of the numbers (the two buffers then take at most
// 9 / 8 of one); a wider band is searched in place.
inline constexpr std::size_t kBandNarrow = 8;

// Time order: up to this many samples (or radix buckets) by insertion; a
// log with at most 1 / kAsideShare of its samples out of the ascent by
// merging those back.
inline constexpr std::size_t kInsertionMaximum = 16;
inline constexpr std::size_t kAsideShare = 8;
// Radix buckets of up to this many records are ranked among their
// neighbours; larger ones are split again.
inline constexpr std::size_t kRunBucket = 3;

// Fixed by the shape of the code, not by tuning, so never lowered: the
// variable mean's block at each vector width (2, 4 or 8 lanes), and its reach.
inline constexpr std::size_t kMeanBlocks[] = {16, 32, 64};
inline constexpr std::int64_t kMeanReach = 128;

// Signals whose chunk and its reach on both sides span at most this many
// samples keep the mean's scratch on the stack.
inline constexpr std::size_t kMeanStackReach = 256;

// The mean's margin: a block's lanes past the signal and their reach.
inline constexpr std::size_t kMeanMargin = kMeanReach + kMeanBlocks[2];

static_assert(kMeanChunk % kMeanBlocks[2] == 0);
// The median's scale: exact ranks from -kExactReach to 255 + kExactReach,
// and one for each side collapsed; 0xFFFF marks NaN among them.
static_assert(2 * kExactReach + 259 < 0xFFFF);

}  // namespace kiv::thresholds
