#include "kiv/core/variable_smoothing.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>

#include "kiv/core/failure.hpp"

namespace kiv {

OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::uint8_t> widths) {
    const std::size_t n = samples.size();
    if (n == 0) return OwnedBuffer<double>();

    OwnedBuffer<double> out(n);
    std::fill(out.begin(), out.end(), std::bit_cast<double>(std::uint64_t{0x7FF8000000000000}));

    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t w = at(widths, i);
        if (w == 0) continue;
        // Even widths reach one sample further back than forward.
        const std::size_t half = (w - 1) / 2;
        std::size_t end = i + half + 1;
        const std::int64_t signed_start =
            static_cast<std::int64_t>(end) - static_cast<std::int64_t>(w);
        const std::size_t start =
            signed_start < 0 ? 0 : std::min(static_cast<std::size_t>(signed_start), n);
        end = std::min(end, n);

        // Summed afresh from +0.0 in index order, so results are exact to
        // reproduce (and -0.0 alone averages to +0.0).
        double sum = 0.0;
        std::size_t count = 0;
        for (std::size_t k = start; k < end; ++k) {
            if (std::isnan(samples[k])) continue;
            sum += samples[k];
            ++count;
        }
        if (count != 0) out[i] = sum / static_cast<double>(count);
    }
    return out;
}

}  // namespace kiv
