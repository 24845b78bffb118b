// The variable-width mean, chunk by chunk so that each chunk's samples stay
// in cache; the vector kernel of the CPU level in use does the work
// (kernels/mean.cpp).
#include "kiv/core/variable_smoothing.hpp"

#include <algorithm>
#include <cstddef>

#include "kiv/core/failure.hpp"
#include "kiv/core/kernels.hpp"
#include "kiv/core/thresholds.hpp"

namespace kiv {

namespace {

// Calls each_chunk(clean, present) with the means' scratch on the stack.
template <class EachChunk>
[[gnu::noinline]] void with_stack_scratch(EachChunk each_chunk) {
    // A short signal's scratch lives on the stack: on the heap it would cost
    // more than the means (glibc consolidates its free lists for requests of
    // this size). Apart, so that longer signals do not reserve the frame.
    constexpr std::size_t kMargin = thresholds::kMeanMargin;
    double clean[kMargin + thresholds::kMeanStackReach + kMargin];
    std::uint32_t present[kMargin + thresholds::kMeanStackReach + 1 + kMargin];
    each_chunk(clean + kMargin, present + kMargin);
}

// Outputs chunk by chunk. Sizes given as 64-bit integers (not null) are
// narrowed into `narrowed` (which `widths` reads) a chunk at a time, just
// before it, while the chunk before fetches them into the cache: in a pass
// of their own they would be read from memory with nothing to hide the
// wait. False, with the means unfinished, when a size lies outside 0..255.
// Each size and each sample is read once (the chunk's snapshot, kernels/mean.cpp)
// into what the means read: sizes another thread writes meanwhile give some
// width, never an unwritten output.
bool mean_by_chunks(std::span<const double> samples, const std::uint8_t* widths, double* out,
                    const std::int64_t* sizes = nullptr, std::uint8_t* narrowed = nullptr) {
    const std::size_t n = samples.size();
    constexpr std::size_t kChunk = thresholds::kMeanChunk;
    const std::size_t reach = std::min(n, kChunk + 2 * static_cast<std::size_t>(thresholds::kMeanReach));  // short signals need short buffers
    constexpr std::size_t kMargin = thresholds::kMeanMargin;
    const Kernels& level = kernels();
    bool inside = true;
    // Written by each chunk before it is read, margins included.
    const auto each_chunk = [&](double* clean, std::uint32_t* present) {
        for (std::size_t from = 0; from < n; from += kChunk) {
            const std::size_t to = std::min(n, from + kChunk);
            if (sizes != nullptr && level.narrow_widths(sizes + from, to - from, narrowed + from)) {
                inside = false;
                return;
            }
            level.rolling_mean_chunk(samples.data(), widths, sizes, n, from, to, clean, present, out);
        }
    };
    if (reach <= thresholds::kMeanStackReach) {
        with_stack_scratch(each_chunk);
    } else {
        OwnedBuffer<double> clean(kMargin + reach + kMargin);
        OwnedBuffer<std::uint32_t> present(kMargin + reach + 1 + kMargin);
        each_chunk(clean.data() + kMargin, present.data() + kMargin);
    }
    return inside;
}

}  // namespace

OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::uint8_t> widths) {
    OwnedBuffer<double> out(samples.size());
    variable_rolling_mean_into(samples, widths, out.data());
    return out;
}

void variable_rolling_mean_into(std::span<const double> samples, std::span<const std::uint8_t> widths,
                                double* out) {
    const std::size_t n = samples.size();
    if (n == 0) return;
    if (widths.size() < n) fail_index(widths.size(), widths.size());
    mean_by_chunks(samples, widths.data(), out);
}

OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples, std::span<const std::int64_t> sizes,
                                          bool& outside) {
    const std::size_t n = samples.size();
    outside = false;
    if (n == 0) return OwnedBuffer<double>();
    if (sizes.size() < n) fail_index(sizes.size(), sizes.size());
    OwnedBuffer<std::uint8_t> widths(n);
    OwnedBuffer<double> out(n);
    outside = !mean_by_chunks(samples, widths.data(), out.data(), sizes.data(), widths.data());
    return outside ? OwnedBuffer<double>() : std::move(out);
}

}  // namespace kiv
