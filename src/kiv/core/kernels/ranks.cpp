// The map of variability to the sliding median's ranks.
#include <cstddef>
#include <cstdint>

#include "kiv/core/sequences.hpp"
#include "kiv/core/window_map.hpp"
#include "kiv/core/kernels/entries.hpp"
#include "kiv/core/kernels/vectors.hpp"

namespace kiv::levels::KIV_LEVEL {

// Written out as a plain loop: the compiler vectorises it at the level's width.
void window_ranks(const RawWindows& raw, double base, double top, std::uint16_t* ranks) {
    const RawWindows windows = raw;  // a copy that the stores cannot alias
    for (std::size_t i = 1; i < windows.size(); ++i) ranks[i] = small_rank(windows[i], base, top);
}

}  // namespace kiv::levels::KIV_LEVEL
