// The variable-width mean, chunk by chunk so that each chunk's samples stay
// in cache; the vector kernel of the CPU level in use does the work
// (kernels.cpp).
#include "kiv/core/variable_smoothing.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "kiv/core/failure.hpp"
#include "kiv/core/kernels.hpp"
#include "kiv/core/thresholds.hpp"

namespace kiv {

namespace {

template <class Width>
OwnedBuffer<double> mean_in_chunks(std::span<const double> samples, std::span<const Width> widths, bool& outside) {
    const std::size_t n = samples.size();
    if (n == 0) return OwnedBuffer<double>();
    if (widths.size() < n) fail_index(widths.size(), widths.size());
    OwnedBuffer<double> out(n);
    constexpr std::size_t kChunk = thresholds::kMeanChunk;
    const std::size_t reach = std::min(n, kChunk) + 2 * thresholds::kMeanReach;  // short signals need short buffers
    std::vector<double> clean(reach);
    std::vector<std::uint32_t> present(reach + 1);
    std::vector<std::uint8_t> narrowed(sizeof(Width) == 1 ? 0 : std::min(n, kChunk));
    const Kernels& level = kernels();
    for (std::size_t from = 0; from < n; from += kChunk) {
        const std::size_t to = std::min(n, from + kChunk);
        const std::uint8_t* chunk_widths;
        if constexpr (sizeof(Width) == 1) {
            chunk_widths = widths.data() + from;
        } else {
            // narrowed here, while the chunk is summed, rather than in a pass of its own
            if (level.narrow_widths(widths.data() + from, to - from, narrowed.data())) {
                outside = true;
                return OwnedBuffer<double>();
            }
            chunk_widths = narrowed.data();
        }
        level.rolling_mean_chunk(samples.data(), chunk_widths, n, from, to, clean.data(), present.data(), out.data());
    }
    return out;
}

}  // namespace

OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::uint8_t> widths) {
    bool outside = false;  // never: every byte is a width
    return mean_in_chunks(samples, widths, outside);
}

OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::int64_t> widths, bool& outside) {
    outside = false;
    return mean_in_chunks(samples, widths, outside);
}

}  // namespace kiv
