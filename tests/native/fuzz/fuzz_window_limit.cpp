// max_window_limit and nan_median: fast against literal.
#include "fuzz_support.hpp"
#include "kiv/core/window_limit.hpp"
#include "reference_cores.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kiv::fuzz;
    FuzzInput in(data, size);
    const double min_window_size = in.number();
    const double max_window_sec = in.number();
    const std::vector<double> timestamps = in.series(4096);

    expect_same("nan_median", run([&] { return kiv::nan_median(timestamps); }),
                run([&] { return kiv::reference::nan_median(timestamps); }));
    expect_same("max_window_limit",
                run([&] { return kiv::max_window_limit(timestamps, min_window_size, max_window_sec); }),
                run([&] { return kiv::reference::max_window_limit(timestamps, min_window_size, max_window_sec); }));
    return 0;
}
