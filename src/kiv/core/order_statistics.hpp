// Order statistics of the non-NaN values of a slice, found by selection
// instead of a full sort, yet exactly those of a stable ascending sort:
// -0.0 and +0.0 compare equal, so a stable sort keeps zeros in input order,
// and which zero sits at a position decides the sign of the answer.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace kiv {

class StableOrderStatistics {
public:
    // Reads the values in place (NaN among them is left out); they must
    // outlive this object.
    explicit StableOrderStatistics(std::span<const double> values);
    // Takes the values over (NaN among them is left out).
    explicit StableOrderStatistics(std::vector<double>&& values);

    // How many values are not NaN.
    std::size_t size() const noexcept { return size_; }
    // The element a stable ascending sort would put at `position` (< size()).
    double at(std::size_t position) const;
    // The elements at `position` and `position + 1` (both < size()).
    std::pair<double, double> pair_at(std::size_t position) const;

private:
    double with_zero_sign(double value, std::size_t position) const;

    std::vector<double> owned_;
    std::span<const double> values_;  // input order, never permuted
    std::size_t size_;
};

}  // namespace kiv
