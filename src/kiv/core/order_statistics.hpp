// Order statistics of the non-NaN values of a slice, found by selection
// instead of a full sort, yet exactly those of a stable ascending sort:
// -0.0 and +0.0 compare equal, so a stable sort keeps zeros in input order,
// and which zero sits at a position decides the sign of the answer.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kiv {

class StableOrderStatistics {
public:
    // Copies the non-NaN values.
    explicit StableOrderStatistics(std::span<const double> values);
    // Takes values that hold no NaN, in input order.
    explicit StableOrderStatistics(std::vector<double>&& numbers);

    std::size_t size() const noexcept { return kept_.size(); }
    // The element a stable ascending sort would put at `position` (< size()).
    double at(std::size_t position);

private:
    void note_zero_signs();

    std::vector<double> kept_;
    std::vector<bool> zero_is_negative_;  // one per zero, in input order
    // kept_[0, selected_) <= kept_[selected_] <= kept_(selected_, end) once a
    // selection has been made, so later ones only partition one side.
    std::size_t selected_;
    std::size_t negatives_;  // counted on first need
};

}  // namespace kiv
