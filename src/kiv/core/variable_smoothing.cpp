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

namespace {

// Outputs in chunks, each with the scratch for its reach.
template <class Run>
[[gnu::noinline]] void on_stack(Run run) {
    // A short signal's scratch lives on the stack: on the heap it would cost
    // more than the means (glibc consolidates its free lists for requests of
    // this size). Apart, so that longer signals do not reserve the frame.
    constexpr std::size_t kMargin = thresholds::kMeanMargin;
    double clean[kMargin + thresholds::kMeanStackReach + kMargin];
    std::uint32_t present[thresholds::kMeanStackReach + 1];
    run(clean, present);
}

}  // namespace

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
    if (reach <= thresholds::kMeanStackReach) {
        on_stack(run);
    } else {
        OwnedBuffer<double> clean(kMargin + reach + kMargin);
        OwnedBuffer<std::uint32_t> present(reach + 1);
        run(clean.data(), present.data());
    }
    return out;
}

}  // namespace kiv
