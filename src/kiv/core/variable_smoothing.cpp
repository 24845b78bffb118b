// The variable-width mean, chunk by chunk so that each chunk's samples stay
// in cache; the vector kernel of the CPU level in use does the work
// (kernels.cpp).
#include "kiv/core/variable_smoothing.hpp"

#include <algorithm>
#include <cstddef>

#include "kiv/core/failure.hpp"
#include "kiv/core/kernels.hpp"
#include "kiv/core/thresholds.hpp"

namespace kiv {

OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::uint8_t> widths) {
    const std::size_t n = samples.size();
    if (n == 0) return OwnedBuffer<double>();
    if (widths.size() < n) fail_index(widths.size(), widths.size());
    OwnedBuffer<double> out(n);
    constexpr std::size_t kChunk = thresholds::kMeanChunk;
    const std::size_t reach = std::min(n, kChunk + 2 * thresholds::kMeanReach);  // short signals need short buffers
    constexpr std::size_t kMargin = thresholds::kMeanMargin;
    const Kernels& level = kernels();
    // Written by each chunk before it is read, margins included.
    const auto run = [&](double* clean, std::uint32_t* present) {
        for (std::size_t from = 0; from < n; from += kChunk) {
            const std::size_t to = std::min(n, from + kChunk);
            level.rolling_mean_chunk(samples.data(), widths.data(), n, from, to, clean + kMargin, present, out.data());
        }
    };
    // A short signal's scratch lives on the stack: on the heap it would cost
    // more than the means (glibc consolidates its free lists for requests
    // of this size).
    constexpr std::size_t kStackReach = thresholds::kMeanStackReach;
    if (reach <= kStackReach) {
        double clean[kMargin + kStackReach + kMargin];
        std::uint32_t present[kStackReach + 1];
        run(clean, present);
    } else {
        OwnedBuffer<double> clean(kMargin + reach + kMargin);
        OwnedBuffer<std::uint32_t> present(reach + 1);
        run(clean.data(), present.data());
    }
    return out;
}

}  // namespace kiv
