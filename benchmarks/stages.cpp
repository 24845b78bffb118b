// The cost of each stage of smooth, natively, in ns a sample of the thread's
// CPU time (medians over rounds that take the stages in turn), at the CPU
// level that KIV_CPU_LEVEL caps. Driven by stages.py, which writes the
// signals and builds this against a tree's cores:
//
//     kiv_stages VALUES TIMESTAMPS ROUNDS
//
// VALUES and TIMESTAMPS hold n float64 each, raw. Prints one line a stage:
// its name, a tab, ns a sample. "sliding median + clamp" is what the window
// sizes cost beyond the count, the percentiles and the map to ranks.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "kiv/core/kernels.hpp"
#include "kiv/core/order_statistics.hpp"
#include "kiv/core/pipeline.hpp"
#include "kiv/core/rolling_median.hpp"
#include "kiv/core/variable_smoothing.hpp"
#include "kiv/core/window_limit.hpp"
#include "kiv/core/window_map.hpp"
#include "kiv/core/window_sizes.hpp"

namespace {

std::vector<double> read_doubles(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        std::perror(path);
        std::exit(2);
    }
    std::vector<double> v;
    double buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, sizeof(double), 4096, f)) > 0;)
        v.insert(v.end(), buffer, buffer + got);
    std::fclose(f);
    return v;
}

double thread_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// The percentile of the sorted order as window_sizes takes it (rank
// (k - 1) p / 100, interpolated between its neighbours).
template <class Values>
double percentile(const kiv::StableOrderStatistics<Values>& sorted, double p) {
    const std::size_t k = sorted.size();
    if (k == 0) return NAN;
    if (k == 1) return sorted.at(0);
    const double rank = (static_cast<double>(k) - 1.0) * (p / 100.0);
    const auto lo = static_cast<std::size_t>(std::floor(rank));
    if (static_cast<double>(lo) == rank) return sorted.at(lo);
    const auto [below, above] = sorted.pair_at(lo);
    return (above - below) * (rank - static_cast<double>(lo)) + below;
}

struct Bounds {
    double lo, hi;
};

Bounds bounds(std::span<const double> v, const kiv::SmoothingParams& params) {
    const kiv::StableOrderStatistics<kiv::Variability> sorted(kiv::Variability::of(v));
    return {percentile(sorted, params.low_percentile), percentile(sorted, params.high_percentile)};
}

// The map to ranks as window_sizes sets it up.
void ranks(std::span<const double> v, Bounds b, std::uint64_t limit, const kiv::SmoothingParams& params,
           std::uint16_t* out) {
    double range = b.hi - b.lo;
    if (range <= 0.0) range = 1.0;
    const kiv::WindowMap map{b.lo, range, static_cast<double>(limit) - params.min_window_size, params.min_window_size};
    const double calm = kiv::round_half_even((1.0 - 0.05) * map.span + map.min_window_size);
    const double busy = kiv::round_half_even((1.0 - 1.0) * map.span + map.min_window_size);
    const kiv::RankScale scale = kiv::rank_scale(std::min({calm, busy, 0.0}), std::max({calm, busy, 0.0}));
    out[0] = 0;
    kiv::kernels().window_ranks(kiv::RawWindows{kiv::Variability::of(v), map}, scale.base(), static_cast<double>(scale.top()), out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s VALUES TIMESTAMPS ROUNDS\n", argv[0]);
        return 2;
    }
    const std::vector<double> v = read_doubles(argv[1]), t = read_doubles(argv[2]);
    const int rounds = std::atoi(argv[3]);
    const std::size_t n = v.size();
    if (t.size() != n || n < 2 || rounds < 1) {
        std::fprintf(stderr, "need n >= 2 values and as many timestamps, and ROUNDS >= 1\n");
        return 2;
    }
    const kiv::SmoothingParams params;
    const std::int64_t limit = kiv::max_window_limit(t, params.min_window_size, params.max_window_sec);
    const Bounds b = bounds(v, params);
    const kiv::OwnedBuffer<std::uint8_t> widths =
        kiv::compute_window_sizes(v, static_cast<std::uint64_t>(limit), params);
    std::vector<std::uint16_t> rank_out(n);
    std::vector<double> out(n);
    volatile double sink = 0;

    struct Stage {
        const char* name;
        std::function<void()> run;
        std::vector<double> ns;
    };
    std::vector<Stage> stages = {
        {"order check + limit",
         [&] {
             const kiv::TimeShape shape = kiv::kernels().time_shape(t.data(), n);
             sink = sink + static_cast<double>(shape.ascending) +
                    static_cast<double>(kiv::max_window_limit(t, params.min_window_size, params.max_window_sec));
         }, {}},
        {"count + percentiles", [&] { sink = sink + bounds(v, params).lo; }, {}},
        {"map to ranks", [&] { ranks(v, b, static_cast<std::uint64_t>(limit), params, rank_out.data()); }, {}},
        {"window sizes",
         [&] { sink = sink + kiv::compute_window_sizes(v, static_cast<std::uint64_t>(limit), params)[n / 2]; }, {}},
        {"variable mean", [&] { kiv::variable_rolling_mean_into(v, {widths.data(), n}, out.data()); }, {}},
        {"smooth", [&] { kiv::smooth_pipeline_into(v, t, params, out.data()); }, {}},
    };
    // Calls of a short signal are repeated within a timing, so that each
    // takes about 10^6 samples' worth.
    const std::size_t calls = std::max<std::size_t>(1, 1000000 / n);
    for (Stage& s : stages) s.run();  // warm
    for (int r = 0; r < rounds; ++r) {
        for (Stage& s : stages) {
            const double start = thread_ns();
            for (std::size_t c = 0; c < calls; ++c) s.run();
            s.ns.push_back((thread_ns() - start) / static_cast<double>(calls * n));
        }
    }
    std::printf("level\t%s\n", kiv::kernels().level);
    double median_of[6];
    for (std::size_t i = 0; i < stages.size(); ++i) {
        std::vector<double>& ns = stages[i].ns;
        std::nth_element(ns.begin(), ns.begin() + ns.size() / 2, ns.end());
        median_of[i] = ns[ns.size() / 2];
    }
    for (std::size_t i = 0; i < stages.size(); ++i) {
        if (i == 3) {
            std::printf("sliding median + clamp\t%.3f\n", median_of[3] - median_of[1] - median_of[2]);
        } else {
            std::printf("%s\t%.3f\n", stages[i].name, median_of[i]);
        }
    }
    return sink == 12345.6789 ? 1 : 0;
}
