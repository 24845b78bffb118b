// smooth_pipeline: fast against literal. NaN timestamps are rare, so most
// inputs get past the time ordering.
#include <algorithm>
#include <random>

#include "fuzz_support.hpp"
#include "kiv/core/pipeline.hpp"
#include "reference_cores.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kiv::fuzz;
    FuzzInput in(data, size);
    kiv::SmoothingParams params;
    params.min_window_size = in.number();
    params.max_window_sec = in.number();
    params.window_smooth_width_size = in.count();
    params.low_percentile = in.percentile();
    params.high_percentile = in.percentile();
    std::vector<double> values;
    std::vector<double> timestamps;
    if (in.byte() & 1) {
        // Long series: a clock of a few runs (ticking on where it stops), then the values.
        timestamps = in.runs(FuzzInput::kLongest, false, in.byte() % 8 + 1);
        values = in.runs(FuzzInput::kLongest);
        for (double t = timestamps.empty() ? 0.0 : timestamps.back(); timestamps.size() < values.size();)
            timestamps.push_back(t += 1.0);
        timestamps.resize(values.size());
        // Out of time order: neighbours swapped at a stride (few or many
        // samples set aside), or shuffled (the radix sort).
        const std::uint8_t disorder = in.byte();
        if (disorder % 4 == 1) {
            for (std::size_t i = disorder / 4 % 3; i + 1 < timestamps.size(); i += disorder / 16 + 2)
                std::swap(timestamps[i], timestamps[i + 1]);
        } else if (disorder % 4 == 2) {
            std::mt19937_64 rng(in.raw64());
            std::shuffle(timestamps.begin(), timestamps.end(), rng);
        }
        params.window_smooth_width_size = FuzzInput::bounded_width(params.window_smooth_width_size, values.size());
    } else {
        double last_time = 0.0;
        while (!in.empty() && values.size() < 1024) {
            values.push_back(in.number());
            const bool nan_time = in.byte() == 0xFF;
            timestamps.push_back(nan_time ? std::numeric_limits<double>::quiet_NaN() : in.number(false, &last_time));
        }
    }

    expect_same_elements("smooth_pipeline",
                         run([&] { return kiv::smooth_pipeline(values, timestamps, params); }),
                         run([&] { return kiv::reference::smooth_pipeline(values, timestamps, params); }));
    return 0;
}
