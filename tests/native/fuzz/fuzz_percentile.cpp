// nan_percentile: fast against literal, the index failures included.
#include "fuzz_support.hpp"
#include "kiv/core/window_sizes.hpp"
#include "reference_cores.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kiv::fuzz;
    FuzzInput in(data, size);
    const double p = in.percentile();
    const std::vector<double> values = in.series(4096);

    expect_same("nan_percentile", run([&] { return kiv::nan_percentile(values, p); }),
                run([&] { return kiv::reference::nan_percentile(values, p); }));
    return 0;
}
