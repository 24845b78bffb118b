// The variable mean, and the narrowing of window sizes to its byte widths.
// Chunk, block, reach and margin as variable_smoothing.hpp defines them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "kiv/core/thresholds.hpp"
#include "kiv/core/kernels/entries.hpp"
#include "kiv/core/kernels/vectors.hpp"

namespace kiv::levels::KIV_LEVEL {

namespace {

//
// A block's eight vectors are eight independent sums, which hide the add
// latency. Every lane still sums its own window from +0.0 in index order,
// so each output is bit for bit what one scalar loop per output gives. Where a lane skips a sample (a NaN, or one outside its
// window) it adds +0.0 instead, which changes nothing: a sum that starts at
// +0.0 is never -0.0. So the blocks read the samples with every NaN replaced
// by +0.0 and count the numbers in each window apart.

constexpr std::size_t kVectors = 8;
constexpr std::size_t kBlock = kVectors * kLanes;
constexpr std::int64_t kReach = thresholds::kMeanReach;
static_assert(thresholds::kMeanChunk % kBlock == 0);
static_assert(kBlock >= thresholds::kMeanBlocks[0] && kBlock <= thresholds::kMeanBlocks[2]);
// The last block's vectors hold lanes up to kLanes - 1 (fewer than a block)
// past the samples, and their windows reach up to kReach - 1 further.
static_assert(thresholds::kMeanMargin >= kBlock + kReach - 1);

constexpr double kMissing = __builtin_bit_cast(double, std::uint64_t{0x7FF8000000000000});

// Fills count entries (a multiple of a vector's) by vector stores: gcc
// makes a fixed-size memset `rep stos`, whose start-up costs a short
// signal more than its means.
template <class T, class Vector>
inline void fill_by_vectors(T* p, std::size_t count, Vector value) {
    static_assert(sizeof(Vector) % sizeof(T) == 0);
    for (std::size_t k = 0; k < count; k += sizeof(Vector) / sizeof(T)) {
        asm("" : "+r"(p));  // else gcc makes the loop a memset again
        std::memcpy(p + k, &value, sizeof value);
    }
}

// Adds x to the lanes that take it.
inline void add_masked(const Doubles& x, const Words& mask, Doubles& sum) {
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
    // Per lane, as doubles, so that the compares are single vector
    // instructions; set by fill_lanes where needed.
    Doubles first[kVectors], last[kVectors];
};

inline std::int64_t first_of(std::int64_t w) { return w == 0 ? 1 : -(w / 2); }
inline std::int64_t last_of(std::int64_t w) { return w == 0 ? 0 : (w + 1) / 2 - 1; }

// Per-lane bounds; only needed where lanes differ.
inline void fill_lanes(const std::uint8_t* widths, Offsets& o) {
    double first[kBlock], last[kBlock];
    for (std::size_t j = 0; j < kBlock; ++j) {
        first[j] = static_cast<double>(first_of(widths[j]));
        last[j] = static_cast<double>(last_of(widths[j]));
    }
    std::memcpy(o.first, first, sizeof first);
    std::memcpy(o.last, last, sizeof last);
}

template <class Vector, std::size_t... lane>
inline Vector first_lane(Vector x, std::index_sequence<lane...>) {
    return __builtin_shufflevector(x, x, (lane * 0)...);
}

// Returns whether the lanes need masks inside the samples.
inline bool offsets_of(const std::uint8_t* widths, Offsets& o) {
    std::uint8_t narrowest = widths[0], widest = widths[0];
    // Runs of one width are common: one vector comparison settles them.
    using Bytes = std::uint8_t __attribute__((vector_size(kBlock)));
    Bytes all;
    std::memcpy(&all, widths, sizeof all);
    // widths[0] spread from the vector itself: a byte stored and read back wider would stall
    const Bytes differ = (Bytes)(all != first_lane(all, std::make_index_sequence<kBlock>()));
    std::uint64_t words[kBlock / 8];
    std::memcpy(words, &differ, sizeof words);
    std::uint64_t any = 0;
    for (const std::uint64_t w : words) any |= w;
    if (any != 0) {
        for (std::size_t j = 1; j < kBlock; ++j) {
            narrowest = widths[j] < narrowest ? widths[j] : narrowest;
            widest = widths[j] > widest ? widths[j] : widest;
        }
    }
    o.lowest = min64(first_of(widest), 0);
    o.highest = max64(last_of(widest), -1);
    o.common_first = first_of(narrowest);
    o.common_last = last_of(narrowest);
    return narrowest != widest || narrowest == 0;
}

// Leaves out the offsets at which every lane reads a margin's +0.0: a
// window past an end of a short signal (wider than the signal, say) is
// summed over the signal alone. Exact: a sum starts at +0.0 and is never
// -0.0, so adding +0.0 anywhere changes nothing. `lanes` lanes of output
// i of n samples read samples i + lane + d.
inline void clamp_to_samples(Offsets& o, std::size_t i, std::size_t lanes, std::size_t n) {
    const std::int64_t below = -static_cast<std::int64_t>(i + lanes - 1);
    const std::int64_t above = static_cast<std::int64_t>(n - 1 - i);
    o.lowest = max64(o.lowest, below);
    o.common_first = max64(o.common_first, below);
    o.common_last = min64(o.common_last, above);
    o.highest = min64(o.highest, above);
}

#if defined(__AVX512F__) || defined(__AVX2__)
// Wide vectors: many unaligned loads cross a cache line and cost two (most
// at 8 lanes, 3 in 8 at 4), so that loads, not adds, bound the sums.
// Instead the sums go in groups of kGroup vectors, and each vector of
// samples is loaded once and added to every sum of the group whose windows
// hold it: sum v of a group (its outputs kLanes * v on from the group's
// first) takes the load at p + a where a - kLanes * v lies in [first, last],
// each sum still in ascending order of a. Needs windows of at least kRamp
// samples, so that the way up (group_sums) ends within sum 0's window and
// the way down begins within that of the group's last sum.
constexpr std::size_t kGroup = 4;
constexpr std::int64_t kRamp = static_cast<std::int64_t>(kLanes * (kGroup - 1));

template <std::size_t from, std::size_t... v>
[[gnu::always_inline]] inline void add_to(Doubles x, Doubles* sum, std::index_sequence<v...>) {
    ((sum[from + v] += x), ...);
}

// Sums [from, from + count) of each of the groups take its load at p + a.
template <std::size_t from, std::size_t count, std::size_t... g>
[[gnu::always_inline]] inline void add_to_groups(const double* p, std::int64_t a, Doubles* sum,
                                                 std::index_sequence<g...>) {
    (add_to<g * kGroup + from>(load(p + g * kGroup * kLanes + a), sum, std::make_index_sequence<count>()), ...);
}

// One group's sums over offsets a from first to last + kRamp. Going up, the
// q-th run of kLanes loads (q from 0 to kGroup - 2) lies in the windows of
// sums 0 to q only; from first + kRamp to last every load goes to all
// kGroup sums; going down past last, the q-th run of kLanes goes to sums
// q + 1 to kGroup - 1 only.
// The ramps' lambdas are noexcept: unoptimised builds call them out of line,
// and the unwinding they might need would share a symbol across levels.
template <class Groups, std::size_t... q>
[[gnu::always_inline]] inline void group_sums(const double* p, std::int64_t first, std::int64_t last, Doubles* sum,
                                              Groups groups, std::index_sequence<q...>) {
    std::int64_t a = first;
    (
        [&]() noexcept {
            for (std::size_t r = 0; r < kLanes; ++r, ++a) add_to_groups<0, q + 1>(p, a, sum, groups);
        }(),
        ...);
    for (; a <= last; ++a) add_to_groups<0, kGroup>(p, a, sum, groups);
    (
        [&]() noexcept {
            for (std::size_t r = 0; r < kLanes; ++r, ++a) add_to_groups<q + 1, kGroup - 1 - q>(p, a, sum, groups);
        }(),
        ...);
}

// At 4 lanes the groups share one pass: a group's sums alone are too few
// chains of dependent adds to keep both adders busy. At 8 lanes a group at a
// time measured faster (benchmarks/README.md, "The variable mean").
template <std::size_t... g>
[[gnu::always_inline]] inline void each_group(const double* p, std::int64_t first, std::int64_t last, Doubles* sum,
                                              std::index_sequence<g...> groups) {
    constexpr auto ramp = std::make_index_sequence<kGroup - 1>();
    if constexpr (kLanes == 4) {
        group_sums(p, first, last, sum, groups, ramp);
    } else {
        (group_sums(p, first, last, sum, std::index_sequence<g>(), ramp), ...);
    }
}
#endif

// Outputs [i, i + kBlock): element d of every lane comes from one vector
// load at p + d, p standing for output i.
// Every lane takes every sample of [common_first, common_last]. Only the
// first `vectors` sums are kept (a signal's last block may need fewer).
[[gnu::always_inline]] inline void common_part(const double* p, const Offsets& o, Doubles* sum,
                                               std::size_t vectors = kVectors) {
#if defined(__AVX512F__) || defined(__AVX2__)
    if (vectors == kVectors && o.common_last - o.common_first + 1 >= kRamp)
        return each_group(p, o.common_first, o.common_last, sum, std::make_index_sequence<kVectors / kGroup>());
#endif
    for (std::int64_t d = o.common_first; d <= o.common_last; ++d) {
        const double* q = p + d;
        // Hidden from the optimiser: loads kept across iterations for reuse
        // would take the registers the sums need.
        asm("" : "+r"(q));
        for (std::size_t v = 0; v < vectors; ++v) sum[v] += load(q + v * kLanes);
    }
}

// The same where lanes differ: masks before and after the common part.
// Before it every lane's window has begun or none ends (d < common_first
// <= 0 <= last, or no window at all: first = 1 > d), after it every one
// has begun (first <= 0 < d): one bound decides each side. Without masks
// (one width, not 0) lowest is common_first and highest common_last, so
// the masked loops run only where fill_lanes has set the bounds.
[[gnu::always_inline]] inline void inner_block(const double* p, const Offsets& o, Doubles* sum,
                                               std::size_t vectors = kVectors) {
    for (std::int64_t d = o.lowest; d < o.common_first; ++d) {
        const Doubles ds = broadcast(static_cast<double>(d));
        for (std::size_t v = 0; v < vectors; ++v)
            add_masked(load(p + d + static_cast<std::int64_t>(v * kLanes)), ds >= o.first[v], sum[v]);
    }
    common_part(p, o, sum, vectors);
    for (std::int64_t d = o.common_last + 1; d <= o.highest; ++d) {
        const Doubles ds = broadcast(static_cast<double>(d));
        for (std::size_t v = 0; v < vectors; ++v)
            add_masked(load(p + d + static_cast<std::int64_t>(v * kLanes)), ds <= o.last[v], sum[v]);
    }
}

// sum / count, every NaN as kMissing: 0 / 0 where a window has no numbers
// (its sum is +0.0), or +inf and -inf summed, whose NaN is the hardware's
// own (sign bit set on x86-64, clear on aarch64).
inline Doubles mean_of(Doubles sum, Doubles count) {
    const Doubles mean = sum / count;
    const Words nan = mean != mean;
    return (Doubles)(((Words)mean & ~nan) | ((Words)broadcast(kMissing) & nan));
}

using Ints = std::int32_t __attribute__((vector_size(kLanes * sizeof(std::int32_t))));

// after[l] - before[l] per lane: counts of numbers in windows, far below 2^31,
// so converted as signed (one instruction at every level).
inline Doubles count_between(const std::uint32_t* before, const std::uint32_t* after) {
    Ints a, b;
    std::memcpy(&a, after, sizeof a);
    std::memcpy(&b, before, sizeof b);
    return __builtin_convertvector(a - b, Doubles);
}

// Each lane's count of numbers in its window, as a difference of prefix
// counts; present stands at the first lane's output.
inline void window_counts(const std::uint32_t* present, const std::uint8_t* widths, std::size_t lanes, double* counts) {
    for (std::size_t j = 0; j < lanes; ++j) {
        const auto at = static_cast<std::int64_t>(j);
        counts[j] = static_cast<double>(present[at + last_of(widths[j]) + 1] - present[at + first_of(widths[j])]);
    }
}

// The last outputs of a signal, fewer than a block: only the vectors that
// hold them are summed (a signal shorter than a block would otherwise pay
// for a whole one), masked only where their lanes' windows differ. p,
// present, widths and out stand at the block's first output, as in
// mean_blocks.
void short_block(const double* p, const std::uint32_t* present, const std::uint8_t* widths, std::size_t filled,
                 double* out, std::size_t i, std::size_t n) {
    // Lanes past the signal repeat the last width: the block's extremes stay
    // its outputs' own, and those lanes read only the margins.
    std::uint8_t padded[kBlock];
    std::memcpy(padded, widths, filled);
    std::memset(padded + filled, widths[filled - 1], kBlock - filled);
    Offsets o;
    if (offsets_of(padded, o)) fill_lanes(padded, o);
    const std::size_t vectors = (filled + kLanes - 1) / kLanes;
    clamp_to_samples(o, i, vectors * kLanes, n);
    Doubles sum[kVectors];
    fill_by_vectors(sum, vectors, Doubles{});
    inner_block(p, o, sum, vectors);
    double counts[kBlock];
    window_counts(present, padded, vectors * kLanes, counts);
    double means[kBlock];
    for (std::size_t v = 0; v < vectors; ++v) {
        const Doubles result = mean_of(sum[v], load(counts + v * kLanes));
        std::memcpy(means + v * kLanes, &result, sizeof result);
    }
    std::memcpy(out, means, filled * sizeof(double));
}

// One chunk's scratch: for every k within its reach, clean[k - base] is
// samples[k] with NaN as +0.0, and present[k - base] how many of
// samples[base, k) are numbers; in the margins +0.0 and no more numbers.
// So a window over an end counts as any other.
struct ChunkScratch {
    const double* clean;
    const std::uint32_t* present;
    std::size_t base;
};

// What mean_blocks fetches into the cache for the next chunk meanwhile:
// samples[ahead, n), as far on as the outputs done (reading them is what
// the next chunk's set-up waits for), and the next chunk's sizes when not
// null.
struct NextChunk {
    const double* samples;
    std::size_t ahead;
    const std::int64_t* sizes;
};

// Outputs [from, to) of n samples.
void mean_blocks(const ChunkScratch& chunk, const std::uint8_t* widths, std::size_t n, std::size_t from,
                 std::size_t to, double* out, const NextChunk& next) {
    for (std::size_t i = from; i < to; i += kBlock) {
        const std::size_t ahead = next.ahead + (i - from);
        for (std::size_t k = ahead; k < n && k < ahead + kBlock; k += 64 / sizeof(double))
            __builtin_prefetch(next.samples + k);
        if (next.sizes != nullptr)
            for (std::size_t k = to + (i - from); k < n && k < to + (i - from) + kBlock; k += 64 / sizeof(*next.sizes))
                __builtin_prefetch(next.sizes + k);
        if (to - i < kBlock) {
            short_block(chunk.clean + (i - chunk.base), chunk.present + (i - chunk.base), widths + i, to - i, out + i,
                        i, n);
            break;
        }
        // The block's widths are read in place: a copy would be stored in
        // pieces and read back whole, which stalls.
        const std::uint8_t* block_widths = widths + i;
        Offsets o;
        const bool masks = offsets_of(block_widths, o);
        Doubles sum[kVectors];
        for (Doubles& v : sum) v = broadcast(0.0);
        const auto first = static_cast<std::int64_t>(i) + o.lowest;
        const auto last = static_cast<std::int64_t>(i + kBlock - 1) + o.highest;
        // Beyond the samples the windows read the margins' +0.0, and need not.
        clamp_to_samples(o, i, kBlock, n);
        if (!masks) {
            common_part(chunk.clean + (i - chunk.base), o, sum);
        } else {
            fill_lanes(block_widths, o);
            inner_block(chunk.clean + (i - chunk.base), o, sum);
        }
        // Each lane's count of numbers: its width, unless a NaN or an end of
        // the samples is near.
        const auto present_at = [&](std::int64_t k) {
            return chunk.present[k - static_cast<std::int64_t>(chunk.base)];
        };
        const bool numbers_only = present_at(last + 1) - present_at(first) == static_cast<std::uint64_t>(last + 1 - first);
        if (!masks) {
            // One width, not 0: the means go straight out. Every count is
            // that width where every sample is a number, else a difference
            // of two runs of the prefix counts.
            if (numbers_only) {
                const Doubles count = broadcast(static_cast<double>(block_widths[0]));
                for (std::size_t v = 0; v < kVectors; ++v) {
                    const Doubles mean = mean_of(sum[v], count);
                    std::memcpy(out + i + v * kLanes, &mean, sizeof mean);
                }
            } else {
                const std::uint32_t* after = chunk.present + (i - chunk.base) + (o.common_last + 1);
                const std::uint32_t* before = chunk.present + (i - chunk.base) + o.common_first;
                for (std::size_t v = 0; v < kVectors; ++v) {
                    const Doubles mean = mean_of(sum[v], count_between(before + v * kLanes, after + v * kLanes));
                    std::memcpy(out + i + v * kLanes, &mean, sizeof mean);
                }
            }
            continue;
        }
        double counts[kBlock];
        if (numbers_only) {
            for (std::size_t j = 0; j < kBlock; ++j) counts[j] = block_widths[j];
        } else {
            window_counts(chunk.present + (i - chunk.base), block_widths, kBlock, counts);
        }
        for (std::size_t v = 0; v < kVectors; ++v) {
            const Doubles result = mean_of(sum[v], load(counts + v * kLanes));
            std::memcpy(out + i + v * kLanes, &result, sizeof result);
        }
    }
}

// Outputs from 0 on whose windows begin at or before the first sample (a
// short signal's mostly are): such a window's in-order sum is the running
// sum of the samples up to its last, so one pass of running sums serves
// them all where the blocks would add up each window. Returns the first
// output not done. clean and present stand at sample 0.
std::size_t leading_means(const double* clean, const std::uint32_t* present, const std::uint8_t* widths,
                          std::size_t n, std::size_t to, double* out) {
    // Such an output is at most 127 in (half its width), its window's end
    // at most 128 past it.
    double running[256];  // running[k]: clean[0, k) added in order from +0.0, as a window's sum
    running[0] = 0.0;
    std::size_t summed = 0, i = 0;
    for (; i < to; ++i) {
        const std::int64_t w = widths[i];
        if (w == 0 || static_cast<std::int64_t>(i) + first_of(w) > 0) break;
        const std::size_t reach = i + static_cast<std::size_t>(last_of(w)) + 1;
        const std::size_t end = reach < n ? reach : n;
        for (; summed < end; ++summed) running[summed + 1] = running[summed] + clean[summed];
        const double mean = running[end] / static_cast<double>(present[end]);
        out[i] = mean == mean ? mean : kMissing;
    }
    return i;
}

// Integers of at most this magnitude sum without rounding anywhere in a
// chunk and its reach: every partial sum of a window, and every prefix sum
// of the chunk, is an integer below 2^53.
constexpr double kExactMagnitude = 0x1p38;
static_assert((thresholds::kMeanChunk + 2 * kReach) * (std::uint64_t{1} << 38) <= std::uint64_t{1} << 53);
static_assert(thresholds::kMeanChunk * 255 < std::uint64_t{1} << 32);

// Whether the samples seen are such integers: none has a fraction, and the
// largest magnitude is within the bound (checked once, at the end).
struct Integers {
    Words fraction = {};
    Doubles largest = {};

    void see(Doubles x) {
        const Doubles a = (Doubles)((Words)x & (Words{} + 0x7FFFFFFFFFFFFFFF));  // |x|, never NaN here
        // Below 2^52, adding 2^52 rounds away any fraction, and taking it off again is exact.
        fraction |= (Words)((a + 0x1p52) - 0x1p52 != a);
        largest = a > largest ? a : largest;
    }
    bool all() const {
        bool small = true;
        for (std::size_t l = 0; l < kLanes; ++l) small &= largest[l] <= kExactMagnitude;
        return small && lane_bits(fraction) == 0;
    }
};

// Lane l takes lane l - shift; the first `shift` lanes take +0.0.
template <std::size_t... l>
inline Doubles shifted_up(Doubles x, std::size_t shift, std::index_sequence<l...>) {
    Doubles out = {};
    if (shift == 1) out = __builtin_shufflevector(x, Doubles{}, (l >= 1 ? l - 1 : kLanes)...);
    if (shift == 2) out = __builtin_shufflevector(x, Doubles{}, (l >= 2 ? l - 2 : kLanes)...);
    if (shift == 4) out = __builtin_shufflevector(x, Doubles{}, (l >= 4 ? l - 4 : kLanes)...);
    return out;
}

// The last lane in every lane.
template <std::size_t... l>
inline Doubles last_lane(Doubles x, std::index_sequence<l...>) {
    return __builtin_shufflevector(x, x, (l * 0 + kLanes - 1)...);
}

// The means of a chunk whose samples (NaN as +0.0) are all such integers:
// no window's in-order sum rounds, so it is the exact sum, a difference of
// two prefix sums, bit for bit, at any width (a zero sum is +0.0 either
// way). clean[k] becomes the sum of clean[0..k]; the margin above takes the
// total, the one below stays +0.0. Counts and the division as mean_blocks.
void exact_means(double* clean, const std::uint32_t* present, std::size_t base, std::size_t top,
                 const std::uint8_t* widths, std::size_t from, std::size_t to, double* out) {
    // Exact, so in any order: a vector at a time, the total so far added last.
    // That total starts at +0.0, so no prefix sum is -0.0, nor any difference.
    constexpr auto lanes = std::make_index_sequence<kLanes>();
    const std::size_t count = top - base;
    // Each vector's own prefix sums first, off the chain of totals, which
    // then takes one add a vector.
    const auto own_prefix = [lanes](Doubles x) {
        for (std::size_t shift = 1; shift < kLanes; shift *= 2) x += shifted_up(x, shift, lanes);
        return x;
    };
    Doubles total = {};
    std::size_t k = 0;
    for (; count - k >= kLanes; k += kLanes) {
        const Doubles x = own_prefix(load(clean + k));
        const Doubles sums = x + total;
        std::memcpy(clean + k, &sums, sizeof sums);
        total += last_lane(x, lanes);
    }
    double last = total[0];
    for (; k < count; ++k) clean[k] = last += clean[k];
    fill_by_vectors(clean + count, thresholds::kMeanMargin, broadcast(last));
    for (std::size_t i = from; i < to; i += kBlock) {
        const double* sums = clean + (i - base);  // at the block's first output
        const std::uint32_t* counts = present + (i - base);
        const std::uint8_t* block_widths = widths + i;
        const std::size_t filled = to - i < kBlock ? to - i : kBlock;
        Offsets o;
        if (filled == kBlock && !offsets_of(block_widths, o)) {
            // One width, not 0: both ends of the windows move with the lanes.
            const std::int64_t first = o.common_first, last = o.common_last;
            for (std::size_t v = 0; v < kVectors; ++v) {
                const auto at = static_cast<std::int64_t>(v * kLanes);
                const Doubles sum = load(sums + at + last) - load(sums + at + first - 1);
                const Doubles mean = mean_of(sum, count_between(counts + at + first, counts + at + last + 1));
                std::memcpy(out + i + v * kLanes, &mean, sizeof mean);
            }
            continue;
        }
        double block_sums[kBlock], block_counts[kBlock];
        for (std::size_t j = 0; j < kBlock; ++j) {
            // Lanes past the signal repeat the last width, as in short_block.
            const std::uint8_t w = block_widths[j < filled ? j : filled - 1];
            const auto at = static_cast<std::int64_t>(j);
            block_sums[j] = sums[at + last_of(w)] - sums[at + first_of(w) - 1];
            block_counts[j] = static_cast<double>(counts[at + last_of(w) + 1] - counts[at + first_of(w)]);
        }
        double means[kBlock];
        for (std::size_t v = 0; v < kVectors; ++v) {
            const Doubles result = mean_of(load(block_sums + v * kLanes), load(block_counts + v * kLanes));
            std::memcpy(means + v * kLanes, &result, sizeof result);
        }
        std::memcpy(out + i, means, filled * sizeof(double));
    }
}

// Whether the windows of outputs [from, to) are wide enough on average
// that prefix sums cost less than summing each window.
inline bool wide_windows(const std::uint8_t* widths, std::size_t from, std::size_t to) {
    constexpr std::size_t kWideEnough = thresholds::kExactMeanWidths[kLanes == 2 ? 0 : kLanes == 4 ? 1 : 2];
    std::uint32_t total = 0;  // below 2^32: 255 a width
    for (std::size_t i = from; i < to; ++i) total += widths[i];
    return total >= kWideEnough * (to - from);
}

using Counts = std::uint32_t __attribute__((vector_size(kLanes * sizeof(std::uint32_t))));

// The prefix counts go eight samples a step, one vector or several: the
// per-step work (a table load, the running total) then costs as much at
// every level.
constexpr std::size_t kCountStep = 8;
constexpr std::size_t kCountVectors = kCountStep / kLanes;

// Per mask of the samples of a step that are numbers, the running count at
// each: one load instead of a shift and an add per doubling of the lanes.
struct RunningCounts {
    std::uint32_t at[1u << kCountStep][kCountStep];
};
constexpr RunningCounts running_counts() {
    RunningCounts table{};
    for (unsigned mask = 0; mask < (1u << kCountStep); ++mask) {
        std::uint32_t count = 0;
        for (std::size_t l = 0; l < kCountStep; ++l) table.at[mask][l] = count += mask >> l & 1;
    }
    return table;
}
alignas(64) constexpr RunningCounts kRunningCounts = running_counts();

}  // namespace

void rolling_mean_chunk(const double* samples, const std::uint8_t* widths, const std::int64_t* sizes, std::size_t n,
                        std::size_t from, std::size_t to, double* clean, std::uint32_t* present, double* out) {
    const std::size_t base = from < kReach ? 0 : from - kReach;
    const std::size_t top = to + kReach < n ? to + kReach : n;
    // The margins, cleared for each chunk: the scratch is reused, and a
    // previous chunk's samples may lie there.
    constexpr std::size_t kMargin = thresholds::kMeanMargin;
    static_assert(kMargin % kLanes == 0);
    fill_by_vectors(clean - kMargin, kMargin, Doubles{});
    fill_by_vectors(clean + (top - base), kMargin, Doubles{});
    fill_by_vectors(present - kMargin, kMargin, Counts{});
    // One read of each sample: a snapshot, whatever another thread writes meanwhile.
    std::uint32_t numbers = 0;
    present[0] = 0;
    std::size_t k = base;
    Integers integers;
    for (; top - k >= kCountStep; k += kCountStep) {
        unsigned bits = 0;
        for (std::size_t v = 0; v < kCountVectors; ++v) {
            const Doubles x = load(samples + k + v * kLanes);
            const Words number = x == x;
            const Doubles kept = (Doubles)((Words)x & number);
            integers.see(kept);
            std::memcpy(clean + (k - base + v * kLanes), &kept, sizeof kept);
            bits |= lane_bits(number) << (v * kLanes);
        }
        for (std::size_t v = 0; v < kCountVectors; ++v) {
            Counts counts;
            std::memcpy(&counts, kRunningCounts.at[bits] + v * kLanes, sizeof counts);
            counts += numbers;
            std::memcpy(present + (k - base + 1 + v * kLanes), &counts, sizeof counts);
        }
        numbers += kRunningCounts.at[bits][kCountStep - 1];  // the chain from step to step stays scalar
    }
    for (; k < top; ++k) {
        const double x = samples[k];
        const bool number = x == x;
        clean[k - base] = number ? x : 0.0;
        integers.see(broadcast(clean[k - base]));
        numbers += number;
        present[k - base + 1] = numbers;
    }
    fill_by_vectors(present + (top - base + 1), kMargin, Counts{} + numbers);
    if (integers.all() && wide_windows(widths, from, to))
        return exact_means(clean, present, base, top, widths, from, to, out);
    const std::size_t done = from == 0 ? leading_means(clean, present, widths, n, to, out) : from;
    if (done < to) mean_blocks({clean, present, base}, widths, n, done, to, out, {samples, top, sizes});
}

// One pass without branches: each value read once, checked and narrowed.
bool narrow_widths(const std::int64_t* sizes, std::size_t n, std::uint8_t* widths) {
    std::uint64_t above = 0;  // the bits of every value above its low byte: negatives have some
    for (std::size_t i = 0; i < n; ++i) {
        const auto size = static_cast<std::uint64_t>(sizes[i]);
        above |= size >> 8;
        widths[i] = static_cast<std::uint8_t>(size);
    }
    return above != 0;
}

}  // namespace kiv::levels::KIV_LEVEL
