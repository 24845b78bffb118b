// The timestamps' passes: their order keys, and their order and NaN check.
#include <cstddef>
#include <cstdint>
#include "kiv/core/kernels/entries.hpp"
#include "kiv/core/kernels/vectors.hpp"

namespace kiv::levels::KIV_LEVEL {

// Unsigned keys in the order of the doubles. x + 0.0 turns -0.0 into +0.0,
// so the two zeros share a key and keep their input order, as under `<`.
// time_order.cpp's from_key is the inverse. A plain loop: the compiler
// vectorises it at the level's width.
KeyRange time_keys(const double* t, std::size_t n, double* keys) {
    std::uint64_t least = ~std::uint64_t{0}, most = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const auto bits = __builtin_bit_cast(std::uint64_t, t[k] + 0.0);
        const std::uint64_t key = bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);
        keys[k] = __builtin_bit_cast(double, key);
        least = key < least ? key : least;
        most = key > most ? key : most;
    }
    return {least, most};
}

TimeShape time_shape(const double* t, std::size_t n) {
    if (n == 0) return {false, true};
    Words nan{}, descent{};
    std::size_t k = 1;
    for (; n - k >= kLanes; k += kLanes) {
        const Doubles x = load(t + k);
        nan |= x != x;
        descent |= x < load(t + k - 1);
    }
    bool any_nan = t[0] != t[0] || lane_bits(nan) != 0, any_descent = lane_bits(descent) != 0;
    for (; k < n; ++k) {
        any_nan |= t[k] != t[k];
        any_descent |= t[k] < t[k - 1];
    }
    return {any_nan, !any_descent};
}

}  // namespace kiv::levels::KIV_LEVEL
