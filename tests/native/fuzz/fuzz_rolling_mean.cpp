// variable_rolling_mean: fast against literal, for any byte widths (also as
// 64-bit sizes) and for width sequences shorter or longer than the samples.
#include "fuzz_support.hpp"
#include "kiv/core/variable_smoothing.hpp"
#include "reference_cores.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kiv::fuzz;
    FuzzInput in(data, size);
    const std::uint8_t shape = in.byte();
    std::vector<double> samples;
    std::vector<std::uint8_t> widths;
    if (shape & 0x20) {
        // Long series: widths from four, changing every `period` samples.
        std::uint8_t palette[4];
        for (auto& w : palette) w = in.byte();
        const std::size_t period = std::max<std::size_t>(in.run_length(), 1);
        samples = in.runs(FuzzInput::kLongest);
        for (std::size_t i = 0; i < samples.size(); ++i) widths.push_back(palette[i / period % 4]);
    } else {
        while (!in.empty() && samples.size() < 4096) {
            samples.push_back(in.number());
            // Mostly a shared width with the occasional odd one, as real input has.
            const std::uint8_t w = in.byte();
            widths.push_back(w < 128 ? (shape | 1) : w);
        }
    }
    if (shape % 16 == 0 && !widths.empty()) widths.resize(widths.size() - 1 - shape / 16 % widths.size());
    if (shape % 16 == 1) widths.push_back(shape);

    const auto literal = run([&] { return kiv::reference::variable_rolling_mean(samples, widths); });
    expect_same_elements("variable_rolling_mean", run([&] { return kiv::variable_rolling_mean(samples, widths); }),
                         literal);
    const std::vector<std::int64_t> sizes(widths.begin(), widths.end());
    bool outside = false;
    expect_same_elements("variable_rolling_mean of sizes",
                         run([&] { return kiv::variable_rolling_mean(samples, sizes, outside); }), literal);
    return 0;
}
