// The sliding median of compute_window_sizes timed alone, in ns a sample of
// the calling thread's CPU time (medians of alternated runs): the kernel of
// the level KIV_CPU_LEVEL caps against the counted median, and the ranks it
// reads, on the benchmark's shape (1 Hz, calm and busy stretches, 1% NaN)
// or on doubles read from a file.
//
//     kiv_median_timer [n=1000000] [repeats=15] [raw float64 file]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "kiv/core/kernels.hpp"
#include "kiv/core/rolling_median.hpp"
#include "kiv/core/window_sizes.hpp"

namespace {

double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Like the benchmark's dataset: a slow level, noise 50 times larger in busy
// stretches (a third as long as the calm ones), 1% NaN.
std::vector<double> benchmark_shape(std::size_t n) {
    std::mt19937_64 rng(1);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::geometric_distribution<std::size_t> stretch(1.0 / 1500.0);
    std::vector<double> v(n);
    double walk = 0.0, t = 0.0;
    bool busy = false;
    std::size_t left = stretch(rng);
    for (std::size_t i = 0; i < n; ++i) {
        while (left == 0) {
            busy = !busy;
            left = stretch(rng) / (busy ? 3 : 1);
        }
        --left;
        t += std::uniform_real_distribution<double>(0.7, 1.3)(rng);
        walk += 0.01 * normal(rng);
        v[i] = 5.0 * std::sin(t / 600.0) + walk + normal(rng) * (busy ? 1.0 : 0.02);
        if (std::uniform_real_distribution<double>(0.0, 1.0)(rng) < 0.01) v[i] = NAN;
    }
    return v;
}

template <class F>
double median_ns(std::vector<double>& runs, F&& run, std::size_t n, double& least) {
    // Short signals run many times a sample of the clock.
    const std::size_t times = n < 100000 ? 100000 / n : 1;
    const double start = thread_seconds();
    for (std::size_t k = 0; k < times; ++k) run();
    runs.push_back((thread_seconds() - start) * 1e9 / static_cast<double>(n * times));
    std::vector<double> sorted = runs;
    std::sort(sorted.begin(), sorted.end());
    least = sorted[0];
    return sorted[sorted.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t n = argc > 1 ? static_cast<std::size_t>(std::atof(argv[1])) : 1000000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 15;
    std::vector<double> v;
    if (argc > 3) {
        FILE* f = std::fopen(argv[3], "rb");
        if (f == nullptr) return 2;
        double x;
        while (v.size() < n && std::fread(&x, sizeof x, 1, f) == 1) v.push_back(x);
        std::fclose(f);
        n = v.size();
    } else {
        v = benchmark_shape(n);
    }
    const kiv::SmoothingParams params;  // the defaults: w = 30
    const std::uint64_t widest = 61;
    const std::span<const double> samples(v);
    auto in = kiv::median_input(samples, widest, params);
    const std::uint64_t w = params.window_smooth_width_size;
    std::vector<std::uint8_t> sorted(n), counted(n);
    std::vector<double> t_ranks, t_sorted, t_counted;
    double ranks_ns = 0, sorted_ns = 0, counted_ns = 0, ranks_min = 0, sorted_min = 0, counted_min = 0;
    for (int r = 0; r < repeats; ++r) {
        ranks_ns = median_ns(t_ranks, [&] { in = kiv::median_input(samples, widest, params); }, n, ranks_min);
        sorted_ns = median_ns(t_sorted, [&] { kiv::rolling_median_bytes(in.ranks, in.scale, in.raw, w, sorted); }, n, sorted_min);
        counted_ns = median_ns(t_counted, [&] { kiv::counted_median_bytes(in.ranks, in.scale, in.raw, w, counted); }, n, counted_min);
    }
    std::printf("level %s, n %zu, w %llu, vector path %s\n", kiv::kernels().level, n,
                static_cast<unsigned long long>(w), kiv::sorted_median_applies(in.scale, w) ? "yes" : "no");
    std::printf("ns/sample (median, least of %d)\n", repeats);
    std::printf("ranks (percentiles, map) %.2f %.2f\nmedian %.2f %.2f\ncounted median %.2f %.2f\n", ranks_ns,
                ranks_min, sorted_ns, sorted_min, counted_ns, counted_min);
    std::printf("same bytes: %s\n", sorted == counted ? "yes" : "NO");
    return sorted == counted ? 0 : 1;
}
