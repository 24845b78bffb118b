// The vector loops of the numeric cores, built once per CPU level from the
// same sources (src/kiv/core/kernels/, one file per family, compiled with
// each level's flags into a namespace of its own) and chosen once per process: the best level this CPU supports,
// capped by the environment variable KIV_CPU_LEVEL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>


namespace kiv {

struct RawWindows;  // sequences.hpp

// Of one band pass over n values: how many fell below the band, and how
// many lie in it. Every value is stored at middle[kept] before the test
// decides whether it stays, and whole vectors are stored at a time, so
// middle needs room for n values.
struct BandCounts {
    std::size_t below, kept;
};

struct KeyRange {
    std::uint64_t least, most;
};

struct TimeShape {
    bool nan;        // some timestamp is NaN
    bool ascending;  // t[k] < t[k - 1] for no k
};

// The sliding median's scale as its vector kernel reads it: ranks 1..top-1
// stand for the integers low..high, rank 0 and top for whatever lies beyond
// (untracked: their bytes are below's and above's), and a window of no
// numbers, or one whose middle pair spans both collapsed sides, gives
// nothing's byte.
struct MedianScale {
    std::int64_t low;
    std::uint16_t top;
    std::uint8_t below, above, nothing;
};

struct Kernels {
    const char* level;
    // Outputs [from, to) of the variable mean, one chunk
    // (variable_smoothing.hpp): clean and present are scratch for the chunk
    // and its reach on both sides (to - from + 2 * kMeanReach values, and
    // one more count), each with a margin before and after it. Sizes, if
    // not null, are fetched into the cache for the next chunk's outputs.
    void (*rolling_mean_chunk)(const double* samples, const std::uint8_t* widths, const std::int64_t* sizes,
                               std::size_t n, std::size_t from, std::size_t to, double* clean,
                               std::uint32_t* present, double* out);
    // Of each sequence of sequences.hpp (Values, Differences, Variability),
    // read from its source() and of n elements: how many are numbers, and a
    // band pass over them.
    struct Sequence {
        std::size_t (*numbers)(const double* v, std::size_t n);
        BandCounts (*band)(const double* v, std::size_t n, double low, double high, double* middle);
    } values, differences, variability;
    // ranks[i] = small_rank(raw[i], base, top) for i in [1, raw.size()).
    void (*window_ranks)(const RawWindows& raw, double base, double top, std::uint16_t* ranks);
    // widths[i] = sizes[i] as a byte; returns whether any size lies outside 0..255.
    bool (*narrow_widths)(const std::int64_t* sizes, std::size_t n, std::uint8_t* widths);
    // The order-preserving key of each timestamp (both zeros alike), its
    // bits stored in keys[i]; gives the least and the most key.
    KeyRange (*time_keys)(const double* t, std::size_t n, double* keys);
    // Both in one pass over the timestamps.
    TimeShape (*time_shape)(const double* t, std::size_t n);
    // out[i] = the byte of the median of the numbers among ranks[end - w,
    // end) clamped into [0, n), end = i + (w - 1) / 2 + 1, for 1 <= w <=
    // kMedianWidthMaximum; 8 or 16 segments of the signal at once, or one
    // window across the lanes where the signal is short.
    void (*median_bytes)(const std::uint16_t* ranks, std::size_t n, std::size_t w, const MedianScale& scale,
                         std::uint8_t* out);
};

// Each level's kernels.
namespace levels {
#if defined(__x86_64__)
namespace baseline { extern const Kernels kernels; }
namespace avx2 { extern const Kernels kernels; }
namespace avx512 { extern const Kernels kernels; }
#elif defined(__aarch64__)
namespace neon { extern const Kernels kernels; }
#endif
}  // namespace levels

// The kernels in use: those settled on, else those of cpu_level(), settled
// on now.
const Kernels& kernels();

// The level that KIV_CPU_LEVEL asks for, read now: error says what is wrong
// with the variable (then kernels is the best level).
struct CpuLevel {
    const Kernels* kernels;
    std::string error;
};
CpuLevel cpu_level();

// The kernels in use from now on: the first level settled on stays.
const Kernels& settle_kernels(const Kernels& level);
// The kernels settled on, or null.
const Kernels* settled_kernels();

}  // namespace kiv
