#include "kiv/core/window_sizes.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <utility>

#include "kiv/core/failure.hpp"
#include "kiv/core/kernels.hpp"
#include "kiv/core/numeric.hpp"
#include "kiv/core/order_statistics.hpp"
#include "kiv/core/rolling_median.hpp"
#include "kiv/core/sequences.hpp"
#include "kiv/core/window_map.hpp"

namespace kiv {

namespace {

// A double as Python's repr writes it: 150.0, 1e+16, inf.
std::string python_float(double x) {
    const bool exponent = x != 0.0 && (std::fabs(x) < 1e-4 || std::fabs(x) >= 1e16);
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text,
                                   x, exponent ? std::chars_format::scientific : std::chars_format::fixed)
                         .ptr;
    std::string out(text, end);
    if (std::isfinite(x) && out.find_first_of(".e") == std::string::npos) out += ".0";
    return out;
}

// Linear interpolation between the order statistics around the rank; a rank
// beyond the data (a percentile above 100; below 0 the rank saturates to 0)
// is an index failure, the lower index checked first, with a note naming
// the parameter when it has a name.
template <class Sequence>
double percentile_of(const StableOrderStatistics<Sequence>& sorted, double p, const char* name) {
    const std::size_t k = sorted.size();
    if (k == 0) return std::numeric_limits<double>::quiet_NaN();
    if (k == 1) return sorted.at(0);
    const double rank = (static_cast<double>(k) - 1.0) * (p / 100.0);
    const std::uint64_t lo = trunc_sat_u64(std::floor(rank));
    const std::uint64_t hi = trunc_sat_u64(std::ceil(rank));
    const auto beyond = [&](std::uint64_t index) {
        std::string note;
        if (name != nullptr) {
            note = std::string("`") + name + "` is " + python_float(p) + "; percentiles must be between 0 and 100";
        }
        fail_index(k, index, std::move(note));
    };
    if (lo >= k) beyond(lo);
    if (lo == hi) return sorted.at(lo);
    if (hi >= k) beyond(hi);
    const auto [below, above] = sorted.pair_at(lo);  // hi is lo + 1
    const double frac = rank - static_cast<double>(lo);
    return (above - below) * frac + below;
}

}  // namespace

double nan_percentile(std::span<const double> values, double p) {
    return percentile_of(StableOrderStatistics<Values>(Values::of(values)), p, nullptr);
}

MedianInput median_input(std::span<const double> samples, std::uint64_t max_window_size,
                         const SmoothingParams& params) {
    const std::size_t n = samples.size();
    const Variability variability = Variability::of(samples);

    // Both bounds are always taken, low first, so its failure is the one seen.
    const StableOrderStatistics<Variability> sorted(variability);
    const double lo = percentile_of(sorted, params.low_percentile, "low_percentile");
    const double hi = percentile_of(sorted, params.high_percentile, "high_percentile");
    if (n == 0) return {RawWindows{variability, {}}, {}, {}};

    // The samples are read again below, and once each into the ranks that
    // the rolling median counts; it reads them a last time only for the
    // exact value of a collapsed side, so every width is written whatever
    // another thread writes meanwhile.
    double range = hi - lo;
    if (range <= 0.0) range = 1.0;
    const RawWindows raw{variability,
                         {lo, range, static_cast<double>(max_window_size) - params.min_window_size,
                          params.min_window_size}};
    // Raw windows are integers between the two ends of the map, or 0, or
    // NaN: onto the median's scale.
    const double calm = round_half_even((1.0 - 0.05) * raw.map.span + raw.map.min_window_size);
    const double busy = round_half_even((1.0 - 1.0) * raw.map.span + raw.map.min_window_size);
    const RankScale scale = rank_scale(std::min({calm, busy, 0.0}), std::max({calm, busy, 0.0}));
    const double top = static_cast<double>(scale.top());
    OwnedBuffer<std::uint16_t> ranks(n);
    ranks[0] = small_rank(raw[0], scale.base(), top);
    kernels().window_ranks(raw, scale.base(), top, ranks.data());
    return {raw, scale, std::move(ranks)};
}

OwnedBuffer<std::uint8_t> compute_window_sizes(std::span<const double> samples,
                                               std::uint64_t max_window_size,
                                               const SmoothingParams& params) {
    const MedianInput in = median_input(samples, max_window_size, params);
    const std::size_t n = samples.size();
    if (n == 0) return OwnedBuffer<std::uint8_t>();
    OwnedBuffer<std::uint8_t> widths(n);
    rolling_median_bytes({in.ranks.data(), n}, in.scale, in.raw, params.window_smooth_width_size,
                         {widths.data(), n});
    return widths;
}

}  // namespace kiv
