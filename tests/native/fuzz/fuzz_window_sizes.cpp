// compute_window_sizes: fast against literal, over every parameter.
#include "fuzz_support.hpp"
#include "kiv/core/window_sizes.hpp"
#include "reference_cores.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kiv::fuzz;
    FuzzInput in(data, size);
    const std::uint64_t max_window_size = in.count();
    kiv::SmoothingParams params;
    params.min_window_size = in.number();
    params.window_smooth_width_size = in.count();
    params.low_percentile = in.percentile();
    params.high_percentile = in.percentile();
    // Windows wider than the series cost n^2 log n per call: keep n modest,
    // or the windows narrow.
    const std::vector<double> samples = in.series(1024);
    params.window_smooth_width_size = FuzzInput::bounded_width(params.window_smooth_width_size, samples.size());

    expect_same_elements("compute_window_sizes",
                         run([&] { return kiv::compute_window_sizes(samples, max_window_size, params); }),
                         run([&] { return kiv::reference::compute_window_sizes(samples, max_window_size, params); }));
    return 0;
}
