#include "kiv/core/order_statistics.hpp"

#include <algorithm>
#include <cmath>

namespace kiv {

namespace {
constexpr std::size_t kNone = static_cast<std::size_t>(-1);
}

StableOrderStatistics::StableOrderStatistics(std::span<const double> values)
    : selected_(kNone), negatives_(kNone) {
    kept_.reserve(values.size());
    for (const double v : values)
        if (!std::isnan(v)) kept_.push_back(v);
    note_zero_signs();
}

StableOrderStatistics::StableOrderStatistics(std::vector<double>&& numbers)
    : kept_(std::move(numbers)), selected_(kNone), negatives_(kNone) {
    note_zero_signs();
}

void StableOrderStatistics::note_zero_signs() {
    for (const double v : kept_)
        if (v == 0.0) zero_is_negative_.push_back(std::signbit(v));
}

double StableOrderStatistics::at(std::size_t position) {
    auto first = kept_.begin();
    auto last = kept_.end();
    if (selected_ != kNone) {
        if (position > selected_) first += static_cast<std::ptrdiff_t>(selected_ + 1);
        if (position < selected_) last = kept_.begin() + static_cast<std::ptrdiff_t>(selected_);
    }
    if (position == selected_ + 1 && selected_ != kNone) {
        // The next one up is the least of those above: a scan, not a selection.
        std::iter_swap(kept_.begin() + static_cast<std::ptrdiff_t>(position),
                       std::min_element(first, last, [](double a, double b) { return a < b; }));
        selected_ = position;
    } else if (position != selected_) {
        std::nth_element(first, kept_.begin() + static_cast<std::ptrdiff_t>(position), last,
                         [](double a, double b) { return a < b; });
        selected_ = position;
    }
    const double value = kept_[position];
    if (value != 0.0) return value;

    // Zeros fill sorted positions [negatives, negatives + zeros) in input order.
    if (negatives_ == kNone)
        negatives_ = static_cast<std::size_t>(
            std::count_if(kept_.begin(), kept_.end(), [](double v) { return v < 0.0; }));
    return zero_is_negative_[position - negatives_] ? -0.0 : 0.0;
}

}  // namespace kiv
