// The time order of samples: the permutation that a stable sort of their
// timestamps by `<` gives, found by a path that suits the shape of the
// timestamps instead of by comparisons alone.
#pragma once

#include <cstdint>
#include <span>

namespace kiv {

// order[k] = the input index of the k-th sample in time order: ascending by
// `<`, equal timestamps (-0.0 and +0.0 among them) in input order; and
// sorted[k] = timestamps[order[k]]. The timestamps hold no NaN; both
// outputs have room for all of them. Index is std::uint32_t (fewer than
// 2^32 samples) or std::uint64_t.
template <class Index>
void stable_time_order(std::span<const double> timestamps, Index* order, double* sorted);

extern template void stable_time_order<std::uint32_t>(std::span<const double>, std::uint32_t*, double*);
extern template void stable_time_order<std::uint64_t>(std::span<const double>, std::uint64_t*, double*);

}  // namespace kiv
