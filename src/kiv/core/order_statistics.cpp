#include "kiv/core/order_statistics.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

namespace kiv {

namespace {

constexpr auto less = [](double a, double b) { return a < b; };

// Small inputs: select on a copy of the numbers.
void select_by_copy(std::span<const double> values, std::size_t position, std::size_t count, double* out) {
    std::vector<double> scratch;
    scratch.reserve(values.size());
    for (const double v : values)
        if (!std::isnan(v)) scratch.push_back(v);
    const auto at = scratch.begin() + static_cast<std::ptrdiff_t>(position);
    std::nth_element(scratch.begin(), at, scratch.end(), less);
    out[0] = *at;
    if (count == 2) out[1] = *std::min_element(at + 1, scratch.end(), less);
}

// Sorted positions [position, position + count) of the k numbers among
// `values`, count <= 2, in one pass instead of a full selection (after Floyd
// and Rivest): pivots from a sorted sample bracket the positions; only the
// values between them are kept and searched further, the rest are counted.
void select_from(std::span<const double> values, std::size_t k, std::size_t position, std::size_t count,
                 double* out) {
    constexpr std::size_t kSample = 1 << 10;
    if (k < 32 * kSample) return select_by_copy(values, position, count, out);

    std::vector<double> sample;
    sample.reserve(kSample);
    const std::size_t stride = values.size() / kSample;
    for (std::size_t s = 0; s < kSample; ++s)
        if (const double v = values[s * stride]; !std::isnan(v)) sample.push_back(v);
    std::sort(sample.begin(), sample.end(), less);
    // Four standard deviations of a sample quantile, in sample positions: a
    // miss is rare and merely costs a full selection.
    const auto taken = static_cast<std::ptrdiff_t>(sample.size());
    const double fraction = static_cast<double>(position) / static_cast<double>(k);
    const auto margin = static_cast<std::ptrdiff_t>(4.0 * std::sqrt(fraction * (1.0 - fraction) * kSample)) + 8;
    const auto centre = static_cast<std::ptrdiff_t>(fraction * static_cast<double>(taken));
    if (taken == 0) return select_by_copy(values, position, count, out);
    const double low = sample[static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(centre - margin, 0, taken - 1))];
    const double high = sample[static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(centre + margin, 0, taken - 1))];

    // Only the front of this is ever written: no need to clear it.
    const auto middle = std::make_unique_for_overwrite<double[]>(k);
    std::size_t below = 0, kept = 0;
    for (const double v : values) {
        middle[kept] = v;
        below += v < low;
        kept += v >= low && v <= high;  // never NaN
    }
    if (below > position || below + kept < position + count || kept == k)
        return select_by_copy(values, position, count, out);
    select_from({middle.get(), kept}, kept, position - below, count, out);
}

std::size_t count_numbers(std::span<const double> values) {
    std::size_t numbers = 0;
    for (const double v : values) numbers += v == v;
    return numbers;
}

}  // namespace

StableOrderStatistics::StableOrderStatistics(std::span<const double> values)
    : values_(values), size_(count_numbers(values)) {}

StableOrderStatistics::StableOrderStatistics(std::vector<double>&& values)
    : owned_(std::move(values)), values_(owned_), size_(count_numbers(owned_)) {}

double StableOrderStatistics::with_zero_sign(double value, std::size_t position) const {
    if (value != 0.0) return value;
    // Zeros fill sorted positions [negatives, negatives + zeros) in input order.
    std::size_t nth_zero = position - static_cast<std::size_t>(std::count_if(
                                          values_.begin(), values_.end(), [](double v) { return v < 0.0; }));
    for (const double v : values_)
        if (v == 0.0 && nth_zero-- == 0) return v;
    return value;
}

double StableOrderStatistics::at(std::size_t position) const {
    double value;
    select_from(values_, size_, position, 1, &value);
    return with_zero_sign(value, position);
}

std::pair<double, double> StableOrderStatistics::pair_at(std::size_t position) const {
    double values[2];
    select_from(values_, size_, position, 2, values);
    return {with_zero_sign(values[0], position), with_zero_sign(values[1], position + 1)};
}

}  // namespace kiv
