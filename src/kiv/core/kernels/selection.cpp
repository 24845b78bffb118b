// The selections' passes over a sequence: counting its numbers, and band
// passes, in which each element is stored at the next free slot and that
// slot is taken when the element lies in [low, high] (never NaN).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include "kiv/core/sequences.hpp"
#include "kiv/core/kernels/entries.hpp"
#include "kiv/core/kernels/vectors.hpp"

namespace kiv::levels::KIV_LEVEL {

namespace {

// Each sequence a vector at a time: elements [i, i + kLanes).
inline Doubles vector_at(const Values& values, std::size_t i) { return load(values.v + i); }
inline Doubles vector_at(const Differences& differences, std::size_t i) {
    return load(differences.t + i + 1) - load(differences.t + i);
}
inline Doubles vector_at(const Variability& variability, std::size_t i) {  // i >= 1
    constexpr Words kMagnitude = Words{} + 0x7FFFFFFFFFFFFFFF;
    return (Doubles)((Words)(load(variability.v + i) - load(variability.v + i - 1)) & kMagnitude);
}

// Stores the lanes of x set in `in` (one bit each) at out, in lane order,
// and returns how many there are; the whole vector is written.
inline std::size_t compress(Doubles x, unsigned in, double* out) {
#if defined(__AVX512F__)
    _mm512_storeu_pd(out, _mm512_maskz_compress_pd(static_cast<__mmask8>(in), x));
    return count_bits(in);
#elif defined(__AVX2__)
    // The 32-bit halves of the kept lanes, moved to the front.
    alignas(32) static constexpr std::int32_t kFront[16][8] = {
        {0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7}, {2, 3, 0, 1, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7},
        {4, 5, 0, 1, 2, 3, 6, 7}, {0, 1, 4, 5, 2, 3, 6, 7}, {2, 3, 4, 5, 0, 1, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7},
        {6, 7, 0, 1, 2, 3, 4, 5}, {0, 1, 6, 7, 2, 3, 4, 5}, {2, 3, 6, 7, 0, 1, 4, 5}, {0, 1, 2, 3, 6, 7, 4, 5},
        {4, 5, 6, 7, 0, 1, 2, 3}, {0, 1, 4, 5, 6, 7, 2, 3}, {2, 3, 4, 5, 6, 7, 0, 1}, {0, 1, 2, 3, 4, 5, 6, 7}};
    const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i*>(kFront[in]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_permutevar8x32_epi32(reinterpret_cast<__m256i>(x), order));
    return count_bits(in);
#else
    std::size_t kept = 0;
    for (std::size_t l = 0; l < kLanes; ++l) {
        out[kept] = x[l];
        kept += in >> l & 1;
    }
    return kept;
#endif
}

template <class Sequence>
BandCounts band(const Sequence sequence, double low, double high, double* middle) {
    const std::size_t n = sequence.size();
    std::size_t below = 0, kept = 0, i = 0;
    auto keep_if_inside = [&](double v) {
        middle[kept] = v;
        below += v < low;
        kept += static_cast<std::size_t>(v >= low) & static_cast<std::size_t>(v <= high);
    };
    // The first value apart: a variability's is not a difference.
    if (n != 0) keep_if_inside(sequence[i++]);
    Words below_lanes = {};
    const Doubles lows = broadcast(low), highs = broadcast(high);
    for (; n - i >= kLanes; i += kLanes) {
        const Doubles x = vector_at(sequence, i);
        below_lanes -= x < lows;  // true is -1
        // Stored at kept <= i: whole vectors stay inside the n values.
        kept += compress(x, lane_bits((x >= lows) & (x <= highs)), middle + kept);
    }
    for (std::size_t l = 0; l < kLanes; ++l) below += static_cast<std::size_t>(below_lanes[l]);
    for (; i < n; ++i) keep_if_inside(sequence[i]);
    return {below, kept};
}

template <class Sequence>
std::size_t count_numbers(const Sequence sequence) {
    const std::size_t n = sequence.size();
    std::size_t numbers = 0, i = 0;
    auto count_if_number = [&](double x) { numbers += x == x; };
    if (n != 0) count_if_number(sequence[i++]);
    Words lanes = {};
    for (; n - i >= kLanes; i += kLanes) {
        const Doubles x = vector_at(sequence, i);
        lanes -= x == x;  // true is -1
    }
    for (std::size_t l = 0; l < kLanes; ++l) numbers += static_cast<std::size_t>(lanes[l]);
    for (; i < n; ++i) count_if_number(sequence[i]);
    return numbers;
}

}  // namespace

std::size_t values_numbers(const double* v, std::size_t n) { return count_numbers(Values{v, n}); }
BandCounts values_band(const double* v, std::size_t n, double low, double high, double* middle) {
    return band(Values{v, n}, low, high, middle);
}
std::size_t differences_numbers(const double* t, std::size_t n) { return count_numbers(Differences{t, n}); }
BandCounts differences_band(const double* t, std::size_t n, double low, double high, double* middle) {
    return band(Differences{t, n}, low, high, middle);
}
std::size_t variability_numbers(const double* v, std::size_t n) { return count_numbers(Variability{v, n}); }
BandCounts variability_band(const double* v, std::size_t n, double low, double high, double* middle) {
    return band(Variability{v, n}, low, high, middle);
}

}  // namespace kiv::levels::KIV_LEVEL
