// The smoothing's parameters and their defaults, the one home of both: the
// wrappers' keywords read into this, the cores read from it.
#pragma once

#include <cstdint>

namespace kiv {

struct SmoothingParams {
    // The narrowest raw window; also the least window limit less one.
    double min_window_size = 1.0;
    // The widest window's span, in the timestamps' unit: the window limit
    // is about this over the typical interval (window_limit.hpp).
    double max_window_sec = 60.0;
    // The width of the sliding median over the raw windows.
    std::uint64_t window_smooth_width_size = 30;
    // The variability percentiles mapped onto the widest and the narrowest window.
    double low_percentile = 10.0;
    double high_percentile = 90.0;
};

}  // namespace kiv
