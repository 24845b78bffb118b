// The fast cores against the literal ones on random inputs full of NaN,
// infinities, signed zeros and ties: every result must match bit for bit,
// every internal failure must carry the same message.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kiv/core/failure.hpp"
#include "kiv/core/pipeline.hpp"
#include "kiv/core/variable_smoothing.hpp"
#include "kiv/core/window_limit.hpp"
#include "kiv/core/window_sizes.hpp"
#include "reference_cores.hpp"

namespace {

using Rng = std::mt19937_64;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// A result as bytes, to compare bit for bit.
std::string bytes_of(double x) { return std::to_string(bits(x)); }
std::string bytes_of(std::int64_t x) { return std::to_string(x); }
template <class T>
std::string bytes_of(const kiv::OwnedBuffer<T>& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size() * sizeof(T));
}

// The outcome of one call: its result's bytes, or its failure message.
template <class F>
std::string outcome(F&& call) {
    try {
        return "ok:" + bytes_of(call());
    } catch (const kiv::InternalFailure& failure) {
        return "failed:" + failure.message();
    }
}

double pick(Rng& rng, std::initializer_list<double> choices) {
    return choices.begin()[rng() % choices.size()];
}

// Mostly ordinary numbers, with ties, gaps and the special values sprinkled in.
std::vector<double> signal(Rng& rng, std::size_t n) {
    std::vector<double> v(n);
    const unsigned style = rng() % 4;
    std::normal_distribution<double> noise(0.0, 1.0);
    double level = 0.0;
    for (auto& x : v) {
        level += noise(rng) * (style == 0 ? 0.1 : 3.0);
        x = style == 1 ? std::round(level) : level;
        const unsigned r = rng() % 100;
        if (r < 4) x = kNaN;
        else if (r < 5) x = pick(rng, {kInf, -kInf});
        else if (r < 7) x = pick(rng, {0.0, -0.0});
        else if (style == 3 && r < 30) x = pick(rng, {1.0, 2.0, 1e300});
    }
    return v;
}

std::vector<double> times(Rng& rng, std::size_t n) {
    std::vector<double> t(n);
    double now = pick(rng, {0.0, -5.0, 1e9});
    const unsigned style = rng() % 4;
    for (std::size_t i = 0; i < n; ++i) {
        now += style == 0 ? 1.0 : std::uniform_real_distribution<double>(0.0, 2.0)(rng);
        t[i] = style == 1 && rng() % 3 == 0 ? std::round(now) : now;
        if (style == 2 && rng() % 5 == 0) t[i] = pick(rng, {0.0, -0.0, -kInf, kInf});
    }
    if (style == 3) std::shuffle(t.begin(), t.end(), rng);
    return t;
}

kiv::SmoothingParams params(Rng& rng, std::size_t n) {
    kiv::SmoothingParams p;
    if (rng() % 2) {
        p.min_window_size = pick(rng, {1.0, 0.0, -10.0, 5.9, kNaN, 1e19, -1e19, 300.0});
        p.max_window_sec = pick(rng, {60.0, 0.0, 14.0, kInf, kNaN, -60.0, 600.0});
        p.low_percentile = pick(rng, {10.0, 0.0, -50.0, kNaN, 50.0, 100.0, 150.0});
        p.high_percentile = pick(rng, {90.0, 100.0, 10.0, kNaN, 99.9, 125.0});
    }
    const std::uint64_t widths[] = {0, 1, 2, 3, 4, 30, 31, 255, n, n + 1, UINT64_MAX, UINT64_MAX - 1,
                                    std::uint64_t{1} << 63};
    p.window_smooth_width_size = rng() % 3 ? 30 : widths[rng() % std::size(widths)];
    return p;
}

std::vector<std::uint8_t> widths_for(Rng& rng, std::size_t n) {
    std::vector<std::uint8_t> w(n);
    const unsigned style = rng() % 3;
    std::uint8_t run = static_cast<std::uint8_t>(rng());
    for (auto& x : w) {
        if (style == 0 || rng() % 16 == 0) run = static_cast<std::uint8_t>(rng() % (style == 2 ? 64 : 256));
        x = run;
    }
    return w;
}

int failures = 0;
int checks = 0;

// The fast and the literal form of one call must end alike.
template <class Fast, class Literal>
void expect_same(const char* what, std::size_t n, Fast&& fast, Literal&& literal) {
    ++checks;
    const std::string a = outcome(fast), b = outcome(literal);
    if (a == b) return;
    if (++failures <= 10) std::printf("MISMATCH %s (n=%zu): %.60s vs %.60s\n", what, n, a.c_str(), b.c_str());
}

void one_case(Rng& rng, std::size_t n) {
    const auto v = signal(rng, n);
    const auto t = times(rng, n);
    const auto p = params(rng, n);
    const double q = pick(rng, {0.0, 10.0, 50.0, 90.0, 100.0, -1.0, kNaN, 101.0, 33.3});
    const std::uint64_t limit = pick(rng, {31.0, 60.0, 0.0, 300.0, 1e6});
    const auto w = widths_for(rng, n);
    namespace fast = kiv;
    namespace literal = kiv::reference;

    expect_same("nan_median", n, [&] { return fast::nan_median(v); }, [&] { return literal::nan_median(v); });
    expect_same("nan_percentile", n, [&] { return fast::nan_percentile(v, q); },
                [&] { return literal::nan_percentile(v, q); });
    expect_same("max_window_limit", n, [&] { return fast::max_window_limit(t, p.min_window_size, p.max_window_sec); },
                [&] { return literal::max_window_limit(t, p.min_window_size, p.max_window_sec); });
    expect_same("compute_window_sizes", n, [&] { return fast::compute_window_sizes(v, limit, p); },
                [&] { return literal::compute_window_sizes(v, limit, p); });
    expect_same("variable_rolling_mean", n, [&] { return fast::variable_rolling_mean(v, w); },
                [&] { return literal::variable_rolling_mean(v, w); });
    expect_same("smooth_pipeline", n, [&] { return fast::smooth_pipeline(v, t, p); },
                [&] { return literal::smooth_pipeline(v, t, p); });
}

}  // namespace

int main(int argc, char** argv) {
    const int cases = argc > 1 ? std::atoi(argv[1]) : 3000;
    Rng rng(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20261207);
    for (int c = 0; c < cases; ++c) one_case(rng, rng() % 3 == 0 ? rng() % 8 : rng() % 300);
    for (std::size_t n : {4096u, 12000u, 65536u, 200000u}) one_case(rng, n);
    std::printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
