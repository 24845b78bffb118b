// The sliding median of narrow windows, compiled once per CPU level like
// every kernel family (only the plain functions of entries.hpp leave it).
//
// The signal is cut into one segment per 16-bit lane; every lane keeps its
// window of w ranks sorted in w vectors, so a step of all lanes at once
// deletes the leaving rank (entries from its place up shift down: a compare
// and a blend each) and inserts the arriving one (a min and a max each),
// whatever the data: about 4 w vector operations for a sample of each lane.
// NaN (kNoRank) is the greatest key, and so are the samples beyond either
// end of the signal, so a lane's numbers are its window's first w - nans
// entries and the middle ones are picked by index. A lane starts w steps
// before its segment, its window then all absent, so windows cross segment
// boundaries as they cross nothing else.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kiv/core/kernels.hpp"
#include "kiv/core/kernels/entries.hpp"
#include "kiv/core/thresholds.hpp"

#ifndef KIV_LEVEL
#error "KIV_LEVEL names the CPU level this file is built for"
#endif

namespace kiv::levels::KIV_LEVEL {

namespace {

// AVX-512 in 256-bit vectors too: its 32 registers then hold a window of 30,
// which 512-bit ones would spill (slower, measured on Zen 4).
#if defined(__AVX2__)
constexpr std::size_t kBytes = 32;
#elif defined(__SSE2__) || defined(__ARM_NEON)
constexpr std::size_t kBytes = 16;
#else
#error "no vector kernels for this target"
#endif

constexpr std::size_t kLanes = kBytes / sizeof(std::uint16_t);
using Keys = std::int16_t __attribute__((vector_size(kBytes)));
using Sums = std::uint16_t __attribute__((vector_size(kBytes)));  // wrapping sums

// Ranks are at most 2 * kExactReach + 259; kNoRank masked becomes the
// greatest key.
constexpr std::int16_t kAbsent = 0x7FFF;
static_assert(2 * thresholds::kExactReach + 259 < kAbsent);

constexpr std::size_t kWidest = thresholds::kMedianWidthMaximum;
constexpr std::size_t kBlock = thresholds::kMedianBlock;

using Narrow = std::uint8_t __attribute__((vector_size(kLanes)));

// Lane i of vector j to lane j of vector i, by log2(kLanes) rounds of
// interleaving the vectors' halves.
template <std::size_t... I>
inline Keys interleave(Keys a, Keys b, std::size_t offset, std::index_sequence<I...>) {
#if defined(__clang__)
    const Keys low = __builtin_shufflevector(a, b, (I % 2 ? kLanes + I / 2 : I / 2)...);
    const Keys high = __builtin_shufflevector(a, b, (I % 2 ? kLanes + kLanes / 2 + I / 2 : kLanes / 2 + I / 2)...);
#else
    const Keys low = __builtin_shuffle(a, b, Keys{static_cast<std::int16_t>(I % 2 ? kLanes + I / 2 : I / 2)...});
    const Keys high = __builtin_shuffle(
        a, b, Keys{static_cast<std::int16_t>(I % 2 ? kLanes + kLanes / 2 + I / 2 : kLanes / 2 + I / 2)...});
#endif
    return offset == 0 ? low : high;
}

inline void transpose(Keys (&v)[kLanes]) {
    for (std::size_t round = 1; round < kLanes; round *= 2) {
        Keys t[kLanes];
        for (std::size_t i = 0; i < kLanes / 2; ++i) {
            t[2 * i] = interleave(v[i], v[i + kLanes / 2], 0, std::make_index_sequence<kLanes>());
            t[2 * i + 1] = interleave(v[i], v[i + kLanes / 2], 1, std::make_index_sequence<kLanes>());
        }
        for (std::size_t i = 0; i < kLanes; ++i) v[i] = t[i];
    }
}

inline Keys splat(std::int16_t x) { return Keys{} + x; }

inline Keys load(const std::uint16_t* p) {
    Keys x;
    std::memcpy(&x, p, sizeof x);
    return x & kAbsent;
}

// Each lane's window, sorted, below `width - w` entries that stay least (so
// that a width fixed at compile time serves any w up to it), and how many of
// its entries are absent.
struct Windows {
    Keys sorted[kWidest + 1];
    Keys absent;
};

// The steps of one block, with the windows in registers where they fit.
// A rank leaving is in the window, so it is at the first entry not below
// it: that entry and those above shift down, then `arriving` is inserted.
// The bytes are those of the lanes' medians: of entries (c - 1) / 2 and
// c / 2 of the window (c its numbers), which lie from `from` up.
template <std::size_t Width>
void steps(Windows& win, std::size_t w, const std::uint16_t* rows, std::size_t count, std::size_t from,
           const MedianScale& scale, std::uint16_t* bytes) {
    Keys sorted[Width + 1];
    for (std::size_t j = 0; j <= Width; ++j) sorted[j] = win.sorted[j];
    Keys absent = win.absent;
    const std::size_t skip = Width - w;
    const Keys top = splat(static_cast<std::int16_t>(scale.top));
    const auto bias = static_cast<std::uint16_t>(2 * (scale.low - 1));
    for (std::size_t s = 0; s < count; ++s) {
        const Keys leaving = load(rows + s * kLanes), arriving = load(rows + (w + s) * kLanes);
        absent += (leaving == kAbsent) - (arriving == kAbsent);  // comparisons give -1
        Keys below = splat(-0x8000);  // entry j - 1 after the deletion
#pragma GCC unroll 128
        for (std::size_t j = 0; j < Width; ++j) {
            const Keys kept = sorted[j] >= leaving ? sorted[j + 1] : sorted[j];
            const Keys low = kept < arriving ? kept : arriving;
            sorted[j] = below > low ? below : low;
            below = kept;
        }
        const Keys count_of = splat(static_cast<std::int16_t>(w)) - absent;
        const Keys lower = (count_of - 1) >> 1, upper = count_of >> 1;
        Keys first = splat(kAbsent), second = splat(kAbsent);
        for (std::size_t j = from; j <= w / 2; ++j) {
            const Keys at = splat(static_cast<std::int16_t>(j));
            first = lower == at ? sorted[skip + j] : first;
            second = upper == at ? sorted[skip + j] : second;
        }
        // Twice the median, halved, saturated into 0..255 and made odd; in
        // unsigned lanes, as an empty window's sum wraps (its byte is
        // replaced).
        const Sums twice = reinterpret_cast<Sums>(first) + reinterpret_cast<Sums>(second) + bias;
        Keys half = reinterpret_cast<Keys>(twice) >> 1;
        half = half < 0 ? splat(0) : half;
        half = half > 255 ? splat(255) : half;
        half |= 1;
        const Keys beneath = first == 0, over = second == top;
        half = beneath ? splat(scale.below) : half;
        half = over ? splat(scale.above) : half;
        half = ((beneath & over) | (first == kAbsent)) ? splat(scale.nothing) : half;
        std::memcpy(bytes + s * kLanes, &half, sizeof half);
    }
    for (std::size_t j = 0; j <= Width; ++j) win.sorted[j] = sorted[j];
    win.absent = absent;
}

// The least width of those compiled that holds w.
std::size_t width_for(std::size_t w) {
    std::size_t width = 8;
    while (width < w) width *= 2;
    return width < kWidest ? width : kWidest;
}

void steps_of_width(std::size_t width, Windows& win, std::size_t w, const std::uint16_t* rows, std::size_t count,
                    std::size_t from, const MedianScale& scale, std::uint16_t* bytes) {
    if constexpr (kWidest > 8) {
        if (width <= 8) return steps<8>(win, w, rows, count, from, scale, bytes);
    }
    if constexpr (kWidest > 16) {
        if (width <= 16) return steps<16>(win, w, rows, count, from, scale, bytes);
    }
    if constexpr (kWidest > 32) {
        if (width <= 32) return steps<32>(win, w, rows, count, from, scale, bytes);
    }
    steps<kWidest>(win, w, rows, count, from, scale, bytes);
}

// Lanes i of (a, b) shifted down one: a[1..], then b[0]. SSE2 has no
// two-vector word shuffle: shifts of whole registers instead (compilers
// otherwise move the words one by one).
template <std::size_t... I>
inline Keys next_of(Keys a, Keys b, std::index_sequence<I...>) {
#if defined(__SSE2__) && !defined(__AVX2__)
    return reinterpret_cast<Keys>(_mm_srli_si128(reinterpret_cast<__m128i>(a), 2) |
                                  _mm_slli_si128(reinterpret_cast<__m128i>(b), 14));
#elif defined(__clang__)
    return __builtin_shufflevector(a, b, (I + 1)...);
#else
    return __builtin_shuffle(a, b, Keys{static_cast<std::int16_t>(I + 1)...});
#endif
}
// Lanes i of (a, b) shifted up one: a's last, then b[0..kLanes - 2].
template <std::size_t... I>
inline Keys previous_of(Keys a, Keys b, std::index_sequence<I...>) {
#if defined(__SSE2__) && !defined(__AVX2__)
    return reinterpret_cast<Keys>(_mm_srli_si128(reinterpret_cast<__m128i>(a), 14) |
                                  _mm_slli_si128(reinterpret_cast<__m128i>(b), 2));
#elif defined(__clang__)
    return __builtin_shufflevector(a, b, (kLanes - 1 + I)...);
#else
    return __builtin_shuffle(a, b, Keys{static_cast<std::int16_t>(kLanes - 1 + I)...});
#endif
}

// Signals shorter than this keep one window (n < kMedianSamplesPerWidth * w).
constexpr std::size_t kShortest = thresholds::kMedianSamplesPerWidth * kWidest;

// A short signal keeps one window, sorted across the lanes of Count
// vectors (entries past w, like absent samples, are the greatest key): a
// step deletes the leaving rank and inserts the arriving one as the lanes
// do, each entry reading its neighbours a lane over, and the middle entries
// are read back by index. No lane steps through samples of no output, so it
// costs about n + w / 2 steps of 4 Count vector operations.
template <std::size_t Count>
void one_window(const std::uint16_t* ranks, std::size_t n, std::size_t w, const MedianScale& scale,
                std::uint8_t* out) {
    constexpr auto lanes = std::make_index_sequence<kLanes>();
    const std::size_t half = (w - 1) / 2, steps = n + half;
    // Step k's leaving key is keys[k], its arriving one keys[k + w]: w
    // absent before the signal, half after it.
    std::int16_t keys[kWidest + kShortest + kWidest / 2];
    for (std::size_t k = 0; k < w; ++k) keys[k] = kAbsent;
    for (std::size_t k = 0; k < n; ++k) keys[w + k] = static_cast<std::int16_t>(ranks[k] & kAbsent);
    for (std::size_t k = w + n; k < w + steps; ++k) keys[k] = kAbsent;
    Keys sorted[Count];
    for (Keys& v : sorted) v = splat(kAbsent);
    alignas(64) std::int16_t entries[Count * kLanes];
    std::int16_t firsts[kShortest], seconds[kShortest];  // the middle entries of each output's window
    std::ptrdiff_t numbers = 0;
    // Out of the loop: an array made in each step gets exception tables
    // under ASan's scope checks, which CMake's check of the level objects
    // refuses.
    Keys next[Count];
    for (std::size_t k = 0; k < steps; ++k) {
        // Steps from n to half bring nothing in and take nothing out.
        if (k == n && k < half) k = half;
        const std::int16_t leaving = keys[k], arriving = keys[k + w];
        numbers += static_cast<std::ptrdiff_t>(leaving == kAbsent) - static_cast<std::ptrdiff_t>(arriving == kAbsent);
        const Keys gone = splat(leaving), in = splat(arriving);
        for (std::size_t j = 0; j < Count; ++j) {
            const Keys here = sorted[j];
            const Keys above = next_of(here, j + 1 < Count ? sorted[j + 1] : splat(kAbsent), lanes);
            const Keys below = previous_of(j > 0 ? sorted[j - 1] : splat(-0x8000), here, lanes);
            // After the deletion: entry i, and entry i - 1 (the least key
            // below entry 0, never at or above a rank).
            const Keys kept = here >= gone ? above : here;
            const Keys kept_below = below >= gone ? here : below;
            const Keys low = kept < in ? kept : in;
            next[j] = kept_below > low ? kept_below : low;
        }
        for (std::size_t j = 0; j < Count; ++j) sorted[j] = next[j];
        if (k < half) continue;
        // With no numbers both are entry 0, absent.
        std::memcpy(entries, sorted, sizeof entries);
        firsts[k - half] = entries[(numbers - 1) / 2];
        seconds[k - half] = entries[numbers / 2];
    }
    const std::int32_t bias = static_cast<std::int32_t>(2 * (scale.low - 1)), top = scale.top;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t first = firsts[i], second = seconds[i];
        std::int32_t half_sum = (bias + first + second) >> 1;
        half_sum = half_sum < 0 ? 0 : half_sum > 255 ? 255 : half_sum;
        const bool beneath = first == 0, over = second == top;
        const std::uint8_t exact = static_cast<std::uint8_t>(half_sum | 1);
        const std::uint8_t side = beneath ? scale.below : scale.above;
        out[i] = (beneath && over) || first == kAbsent ? scale.nothing : beneath || over ? side : exact;
    }
}

}  // namespace

void median_bytes(const std::uint16_t* ranks, std::size_t n, std::size_t w, const MedianScale& scale,
                  std::uint8_t* out) {
    if (n == 0) return;
    if (n < thresholds::kMedianSamplesPerWidth * w) {
        const std::size_t count = (width_for(w) + kLanes - 1) / kLanes;
        if (count <= 1) return one_window<1>(ranks, n, w, scale, out);
        if (count <= 2) return one_window<2>(ranks, n, w, scale, out);
        if (count <= 4) return one_window<4>(ranks, n, w, scale, out);
        return one_window<(kWidest + kLanes - 1) / kLanes>(ranks, n, w, scale, out);
    }
    // Lane k's segment: outputs [k * length, (k + 1) * length) of n. Its
    // step s brings in the rank at k * length + s - (w - 1) + (w - 1) / 2 and
    // completes the window of output k * length + s - (w - 1).
    const std::size_t length = (n + kLanes - 1) / kLanes, steps = length + w - 1;
    const auto reach = static_cast<std::ptrdiff_t>((w - 1) / 2) - static_cast<std::ptrdiff_t>(w - 1);
    const auto signal = static_cast<std::ptrdiff_t>(n);
    // The ranks of the steps [first - w, first + kBlock) of every lane: the
    // first w rows are those leaving, w rows back.
    alignas(64) std::uint16_t rows[(kWidest + kBlock) * kLanes];
    alignas(64) std::uint16_t bytes[kBlock * kLanes];
    const std::size_t width = width_for(w);
    Windows win;
    for (std::size_t j = 0; j <= kWidest; ++j) win.sorted[j] = splat(j < width - w ? -0x8000 : kAbsent);
    win.absent = splat(static_cast<std::int16_t>(w));
    for (std::size_t i = 0; i < w * kLanes; ++i) rows[i] = 0xFFFF;

    for (std::size_t first = 0; first < steps; first += kBlock) {
        const std::size_t count = steps - first < kBlock ? steps - first : kBlock;
        // Whole tiles of kLanes steps where every lane's ranks lie in the
        // signal (all but the first and last steps), the rest one by one.
        const auto start = static_cast<std::ptrdiff_t>(first) + reach;  // lane 0's first rank
        const auto last_lane = static_cast<std::ptrdiff_t>((kLanes - 1) * length);
        std::size_t s = 0;
        for (; s + kLanes <= count; s += kLanes) {
            const std::ptrdiff_t at = start + static_cast<std::ptrdiff_t>(s);
            if (at < 0 || last_lane + at + static_cast<std::ptrdiff_t>(kLanes) > signal) break;
            Keys tile[kLanes];
            for (std::size_t lane = 0; lane < kLanes; ++lane)
                std::memcpy(&tile[lane], ranks + at + static_cast<std::ptrdiff_t>(lane * length), sizeof(Keys));
            transpose(tile);
            std::memcpy(rows + (w + s) * kLanes, tile, sizeof tile);
        }
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            const std::ptrdiff_t at = start + static_cast<std::ptrdiff_t>(lane * length);
            for (std::size_t r = s; r < count; ++r) {
                const std::ptrdiff_t k = at + static_cast<std::ptrdiff_t>(r);
                rows[(w + r) * kLanes + lane] = k >= 0 && k < signal ? ranks[k] : 0xFFFF;
            }
        }
        // Entries below (w - 1 - absent) / 2 are never asked for: bound the
        // absent of the block's windows by those among the block's rows.
        Keys absent = win.absent;
        for (std::size_t s = 0; s < count; ++s) absent -= load(rows + (w + s) * kLanes) == kAbsent;
        std::int16_t most = 0;
        for (std::size_t lane = 0; lane < kLanes; ++lane) most = absent[lane] > most ? absent[lane] : most;
        const std::size_t widest_absent = static_cast<std::size_t>(most) < w ? static_cast<std::size_t>(most) : w;
        const std::size_t from = (w - widest_absent) / 2 == 0 ? 0 : (w - widest_absent - 1) / 2;

        steps_of_width(width, win, w, rows, count, from, scale, bytes);
        // Outputs of the block's steps past the warm-up, within the signal:
        // whole tiles where every lane's lie in its segment, the rest one
        // by one.
        const std::size_t warm = first < w - 1 ? w - 1 - first : 0;
        s = warm;
        for (; s + kLanes <= count; s += kLanes) {
            const std::size_t at = first + s - (w - 1);  // lane 0's first output
            if (at + kLanes > length || (kLanes - 1) * length + at + kLanes > n) break;
            Keys tile[kLanes];
            std::memcpy(tile, bytes + s * kLanes, sizeof tile);
            transpose(tile);
            for (std::size_t lane = 0; lane < kLanes; ++lane) {
                const Narrow narrow = __builtin_convertvector(tile[lane], Narrow);
                std::memcpy(out + lane * length + at, &narrow, sizeof narrow);
            }
        }
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            for (std::size_t r = s; r < count; ++r) {
                const std::size_t i = lane * length + first + r - (w - 1);
                if (i >= n || i >= (lane + 1) * length) break;
                out[i] = static_cast<std::uint8_t>(bytes[r * kLanes + lane]);
            }
        }
        std::memmove(rows, rows + count * kLanes, w * kLanes * sizeof rows[0]);
    }
}

}  // namespace kiv::levels::KIV_LEVEL
