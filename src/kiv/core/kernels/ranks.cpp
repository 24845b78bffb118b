// The map of variability to the sliding median's ranks.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kiv/core/window_map.hpp"
#include "kiv/core/kernels/entries.hpp"
#include "kiv/core/kernels/vectors.hpp"

namespace kiv::levels::KIV_LEVEL {

// Written out as a plain loop: the compiler vectorises it at the level's width.
void window_ranks(const double* v, std::size_t n, const WindowMap& map, double base, double top,
                  std::uint16_t* ranks) {
    for (std::size_t i = 1; i < n; ++i) ranks[i] = small_rank(map(std::fabs(v[i] - v[i - 1])), base, top);
}

}  // namespace kiv::levels::KIV_LEVEL
