// The fast cores against the literal ones on random inputs full of NaN,
// infinities, signed zeros and ties: every result must match bit for bit,
// every internal failure must carry the same message.
#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kiv/core/failure.hpp"
#include "kiv/core/fleet.hpp"
#include "kiv/core/kernels.hpp"
#include "kiv/core/order_statistics.hpp"
#include "kiv/core/pipeline.hpp"
#include "kiv/core/rolling_median.hpp"
#include "kiv/core/thresholds.hpp"
#include "kiv/core/variable_smoothing.hpp"
#include "kiv/core/window_limit.hpp"
#include "kiv/core/window_sizes.hpp"
#include "kiv/core/workers.hpp"
#include "reference_cores.hpp"

// Threads refused on demand, as where the process may start no more: after
// `threads_allowed` more starts (negative: no limit), pthread_create fails
// with EAGAIN. ThreadSanitizer's runtime defines pthread_create in the
// executable itself, so under it the refusals are not made (nor in a
// static executable: tests/native/CMakeLists.txt).
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KIV_NO_THREAD_REFUSALS
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define KIV_NO_THREAD_REFUSALS
#endif

namespace {
std::atomic<int> threads_allowed{-1};
}  // namespace

#ifndef KIV_NO_THREAD_REFUSALS
// (exported, for the C++ runtime to find it before the C library's)
extern "C" __attribute__((visibility("default"))) int pthread_create(pthread_t* __restrict thread,
                                                                     const pthread_attr_t* __restrict attr,
                                                                     void* (*start)(void*),
                                                                     void* __restrict arg) noexcept {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    int allowed = threads_allowed.load();
    while (allowed > 0 && !threads_allowed.compare_exchange_weak(allowed, allowed - 1)) {
    }
    if (allowed == 0) return EAGAIN;
    return next(thread, attr, start, arg);
}
#endif

// Bytes asked of the allocator, counted where the executable's malloc can
// stand before glibc's: not under a sanitizer's own, nor in a static one.
#if defined(__GLIBC__) && !defined(KIV_NO_THREAD_REFUSALS) && !defined(__SANITIZE_ADDRESS__)
#if defined(__has_feature)
#if !__has_feature(address_sanitizer)
#define KIV_COUNT_ALLOCATIONS
#endif
#else
#define KIV_COUNT_ALLOCATIONS
#endif
#endif

namespace {
std::atomic<std::size_t> bytes_asked{0};
}  // namespace

#ifdef KIV_COUNT_ALLOCATIONS
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_memalign(std::size_t, std::size_t);
extern "C" __attribute__((visibility("default"))) void* malloc(std::size_t n) noexcept {
    bytes_asked += n;
    return __libc_malloc(n);
}
extern "C" __attribute__((visibility("default"))) void* aligned_alloc(std::size_t alignment, std::size_t n) noexcept {
    bytes_asked += n;
    return __libc_memalign(alignment, n);
}
#endif

namespace {

using Rng = std::mt19937_64;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// A result as bytes, to compare bit for bit (a NaN's sign and payload too).
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
    // the last ones wrap the median's bounds part of the way
    const std::uint64_t widths[] = {0, 1, 2, 3, 4, 30, 31, 255, n, n + 1, UINT64_MAX, UINT64_MAX - 1,
                                    std::uint64_t{1} << 63, UINT64_MAX - n / 2, UINT64_MAX - n - 1,
                                    UINT64_MAX - 2 * n + 3};
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
void expect_same(const std::string& what, Fast&& fast, Literal&& literal) {
    ++checks;
    const std::string a = outcome(fast), b = outcome(literal);
    if (a == b) return;
    const auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin();
    if (++failures <= 10)
        std::printf("MISMATCH %s: %.60s vs %.60s (first difference at byte %td)\n", what.c_str(), a.c_str(), b.c_str(), at);
}

// One set of arguments for every core; `cores` says which of them a case calls.
struct Inputs {
    std::vector<double> v, t;
    kiv::SmoothingParams p;
    double q = 50.0;
    std::uint64_t limit = 60;
    std::vector<std::uint8_t> w;
};
enum Cores : unsigned { kMedian = 1, kPercentile = 2, kLimit = 4, kSizes = 8, kMean = 16, kPipeline = 32, kAll = 63 };

void compare(const std::string& label, const Inputs& in, unsigned cores) {
    namespace fast = kiv;
    namespace literal = kiv::reference;
    const auto& [v, t, p, q, limit, w] = in;
    if (cores & kMedian)
        expect_same("nan_median" + label, [&] { return fast::nan_median(v); }, [&] { return literal::nan_median(v); });
    if (cores & kPercentile)
        expect_same("nan_percentile" + label, [&] { return fast::nan_percentile(v, q); },
                    [&] { return literal::nan_percentile(v, q); });
    if (cores & kLimit)
        expect_same("max_window_limit" + label,
                    [&] { return fast::max_window_limit(t, p.min_window_size, p.max_window_sec); },
                    [&] { return literal::max_window_limit(t, p.min_window_size, p.max_window_sec); });
    if (cores & kSizes)
        expect_same("compute_window_sizes" + label, [&] { return fast::compute_window_sizes(v, limit, p); },
                    [&] { return literal::compute_window_sizes(v, limit, p); });
    if (cores & kMean) {
        expect_same("variable_rolling_mean" + label, [&] { return fast::variable_rolling_mean(v, w); },
                    [&] { return literal::variable_rolling_mean(v, w); });
        // The same widths as 64-bit sizes, narrowed chunk by chunk.
        const std::vector<std::int64_t> sizes(w.begin(), w.end());
        bool outside = false;
        expect_same("variable_rolling_mean of sizes" + label,
                    [&] { return fast::variable_rolling_mean(v, sizes, outside); },
                    [&] { return literal::variable_rolling_mean(v, w); });
        // One size outside a byte, two thirds in (a later chunk): no means at all.
        if (!v.empty() && sizes.size() >= v.size()) {
            std::vector<std::int64_t> bad = sizes;
            bad[v.size() - 1 - v.size() / 3] = v.size() % 2 ? 256 : -1;
            expect_same(
                "variable_rolling_mean of a size outside a byte" + label,
                [&] {
                    const auto means = fast::variable_rolling_mean(v, bad, outside);
                    return static_cast<std::int64_t>(outside) - static_cast<std::int64_t>(means.size());
                },
                [] { return std::int64_t{1}; });
        }
    }
    if (cores & kPipeline)
        expect_same("smooth_pipeline" + label, [&] { return fast::smooth_pipeline(v, t, p); },
                    [&] { return literal::smooth_pipeline(v, t, p); });
}

void one_case(Rng& rng, std::size_t n) {
    // Braced: the draws happen in this order.
    const Inputs in{signal(rng, n),
                    times(rng, n),
                    params(rng, n),
                    pick(rng, {0.0, 10.0, 50.0, 90.0, 100.0, -1.0, kNaN, 101.0, 33.3}),
                    static_cast<std::uint64_t>(pick(rng, {31.0, 60.0, 0.0, 300.0, 1e6})),
                    widths_for(rng, n)};
    compare(" (n=" + std::to_string(n) + ")", in, kAll);
}

// The structured family: signals as integer sensors and clocks give them,
// which put many numbers between a selection's pivots, with NaN where it
// hurts most, at counts on both sides of every size threshold.
template <class T>
struct Named {
    const char* name;
    T (*next)(Rng&, T last);  // the next element after `last`
};

const Named<double> kShapes[] = {
    {"all equal", [](Rng&, double) { return 7.0; }},
    {"signed zeros", [](Rng& rng, double) { return rng() % 2 ? 0.0 : -0.0; }},
    {"two values", [](Rng& rng, double) { return rng() % 2 ? 1.0 : 2.0; }},
    {"few values", [](Rng& rng, double) { return pick(rng, {-2.0, 0.0, 0.5, 3.0, 1e6}); }},
    // an integer sensor that mostly holds still and moves by one count
    {"quantized walk", [](Rng& rng, double last) { const auto r = rng() % 32; return last + (r == 0) - (r == 1); }},
    {"ascending", [](Rng& rng, double last) { return last + (rng() % 3 == 0); }},
    {"descending", [](Rng& rng, double last) { return last - (rng() % 3 == 0); }},
    // integers whose sums never round, up to the largest such, and ones
    // just past (some too large, or not whole) whose sums may
    {"integers at the exact bound", [](Rng& rng, double) { return pick(rng, {0x1p38, -0x1p38, 0x1p38 - 1, -3.0}); }},
    {"integers past the exact bound",
     [](Rng& rng, double) { return pick(rng, {0x1p38 + 1, 0x1p50 + 1, -0x1p50, 3.0, 2.5, 0x1p52 + 0.0}); }},
    // a window that sums +inf and -inf makes its own NaN, which must come out as the canonical one
    {"both infinities", [](Rng& rng, double) { const auto r = rng() % 64; return r == 0 ? kInf : r == 1 ? -kInf : 1.0; }},
};

const Named<std::uint8_t> kWidths[] = {
    {"width 255", [](Rng&, std::uint8_t) { return std::uint8_t{255}; }},
    {"width 1", [](Rng&, std::uint8_t) { return std::uint8_t{1}; }},
    {"width 30", [](Rng&, std::uint8_t) { return std::uint8_t{30}; }},
    {"width 0", [](Rng&, std::uint8_t) { return std::uint8_t{0}; }},
    {"runs of widths", [](Rng& rng, std::uint8_t last) { return rng() % 64 ? last : static_cast<std::uint8_t>(rng()); }},
    // about the narrowest windows that wide vectors sum by loading each
    // sample once: 12 samples at 4 lanes, 24 at 8
    {"runs of 11 to 13 and 23 to 25", [](Rng& rng, std::uint8_t last) {
         constexpr std::uint8_t kNear[] = {11, 12, 13, 23, 24, 25};
         return rng() % 64 && std::find(std::begin(kNear), std::end(kNear), last) != std::end(kNear)
                    ? last
                    : kNear[rng() % std::size(kNear)];
     }},
    {"any widths", [](Rng& rng, std::uint8_t) { return static_cast<std::uint8_t>(rng()); }},
};

// Clocks for the pipeline: ascending ones take the linear path, the rest one
// of the time orders (insertion, the merge of samples set aside, the radix
// sort), chosen by how far from ascending they are; `disorder` goes last.
struct Clock {
    const char* name;
    double (*next)(Rng&, double last);
    void (*disorder)(Rng&, std::vector<double>&);
};
void as_is(Rng&, std::vector<double>&) {}
void shuffled(Rng& rng, std::vector<double>& t) { std::shuffle(t.begin(), t.end(), rng); }
double tick(Rng&, double last) { return last + 1.0; }
double held(Rng& rng, double last) { return last + (rng() % 3 != 0); }
// Every k-th sample late by one, k from 7 to 9: on both sides of the share set aside.
void late_every(Rng& rng, std::vector<double>& t) {
    const std::size_t k = 7 + rng() % 3;
    for (std::size_t i = 1; i + 1 < t.size(); i += k) std::swap(t[i], t[i + 1]);
}
const Clock kClocks[] = {
    {"regular clock", tick, as_is},
    {"held clock", held, as_is},
    {"reversed clock", [](Rng&, double last) { return last - 1.0; }, as_is},
    {"late samples", [](Rng& rng, double last) { return last + (rng() % 64 ? 1.0 : -2.5); }, as_is},
    {"swapped neighbours", held,
     [](Rng& rng, std::vector<double>& t) {
         for (std::size_t i = 0; i + 1 < t.size(); ++i)
             if (rng() % 32 == 0) std::swap(t[i], t[i + 1]);
     }},
    {"spikes and zeros", tick,
     [](Rng& rng, std::vector<double>& t) {
         for (double& x : t)
             if (rng() % 40 == 0) x = pick(rng, {1e300, kInf, -kInf, 0.0, -0.0, -1e300});
     }},
    {"every k-th late", held, late_every},
    {"shuffled held clock", held, shuffled},
    {"shuffled zeros and few", [](Rng& rng, double) { return pick(rng, {-0.0, 0.0, 2.0, 3.0, kInf, -kInf}); },
     as_is},
    {"shuffled two values", [](Rng& rng, double) { return pick(rng, {2.0, 3.0}); }, as_is},
    // keys alike in all but their low bits, in buckets just above insertion's size
    {"shuffled bursts", [](Rng& rng, double last) { return last + (rng() % 17 == 0 ? 3600.0 : 1e-6); }, shuffled},
};

std::vector<double> clock_times(Rng& rng, const Clock& clock, std::size_t n) {
    std::vector<double> t(n);
    double last = 0.0;
    for (double& x : t) x = last = clock.next(rng, last);
    clock.disorder(rng, t);
    return t;
}

template <class T>
std::vector<T> series(Rng& rng, const Named<T>& shape, std::size_t n, T first) {
    std::vector<T> out(n);
    for (T& x : out) x = first = shape.next(rng, first);
    return out;
}

struct Placement {
    const char* name;
    std::size_t lead, trail, runs;
};
const Placement kPlacements[] = {
    {"no NaN", 0, 0, 0}, {"NaN first", 1, 0, 0}, {"NaN last", 0, 1, 0}, {"NaN at both ends", 3, 1, 0},
    {"NaN runs", 0, 0, 4},
};

// `numbers` values of the shape, with NaN placed among them.
std::vector<double> structured(Rng& rng, const Named<double>& shape, const Placement& nan, std::size_t numbers) {
    std::vector<double> v(nan.lead, kNaN);
    for (const double x : series(rng, shape, numbers, 100.0)) {
        if (nan.runs != 0 && rng() % (numbers / nan.runs + 1) == 0) v.insert(v.end(), 1 + rng() % 9, kNaN);
        v.push_back(x);
    }
    v.insert(v.end(), nan.trail, kNaN);
    return v;
}

// A few small counts, and each edge with its neighbours.
std::vector<std::size_t> around(std::initializer_list<std::size_t> edges) {
    std::vector<std::size_t> sizes{0, 1, 2, 3};
    for (const std::size_t e : edges) {
        if (e > 0) sizes.push_back(e - 1);
        sizes.insert(sizes.end(), {e, e + 1});
    }
    return sizes;
}

void structured_family(Rng& rng) {
    using namespace kiv::thresholds;
    // With the default minimum, raw windows reach round(0.95 * (widest - 1) + 1):
    // the widest window whose raw windows the median keeps exactly, and one more.
    const auto reach = [](std::uint64_t widest) { return std::nearbyint(0.95 * static_cast<double>(widest - 1) + 1.0); };
    std::uint64_t exact = 1;
    while (reach(exact + 1) <= static_cast<double>(255 + kExactReach)) ++exact;
    const std::uint64_t widest[] = {60, exact, exact + 1};
    const double percentiles[] = {0.0, 10.0, 50.0, 90.0, 100.0, 33.3};
    const std::pair<double, double> bounds[] = {{10.0, 90.0}, {0.0, 100.0}, {50.0, 50.0}, {10.0, 150.0}};

    // Each threshold with the cores it matters to: counts of numbers for
    // the selections (a second band pass needs a band of kBandMinimum), of
    // outputs for the mean.
    const struct {
        unsigned cores;
        std::vector<std::size_t> sizes;
    } plan[] = {
        {kMedian | kPercentile | kLimit, around({kBranchySelectMaximum, kBandSample, kBandMinimum, 2 * kBandMinimum, 8 * kBandMinimum})},
        {kSizes | kPipeline, around({kBandMinimum, kMeanChunk})},
        {kMean, around({kMeanBlocks[0], kMeanBlocks[1], kMeanBlocks[2], kMeanStackReach, kMeanChunk, 2 * kMeanChunk})},
        // the time orders: by insertion or not, radix digits for splits in
        // cache or not, by 32-bit indices or not
        {kPipeline, kLowered ? around({kInsertionMaximum, kCachedRecords, kNarrowIndexMaximum})
                             : around({kInsertionMaximum, kCachedRecords})},
    };
    std::size_t index = 0;  // turns the remaining parameters from case to case
    for (const auto& [cores, sizes] : plan) {
        for (const std::size_t n : sizes) {
            for (const auto& shape : kShapes) {
                for (const auto& nan : kPlacements) {
                    Inputs in;
                    in.v = structured(rng, shape, nan, n);
                    const std::size_t length = in.v.size();
                    const auto& clock = kClocks[index % std::size(kClocks)];
                    const auto& widths = kWidths[index % std::size(kWidths)];
                    in.t = cores & kPipeline ? clock_times(rng, clock, length) : in.v;
                    in.q = percentiles[index % std::size(percentiles)];
                    in.limit = widest[index / 2 % std::size(widest)];
                    in.p.max_window_sec = static_cast<double>(in.limit);  // one per sample on a regular clock
                    std::tie(in.p.low_percentile, in.p.high_percentile) = bounds[index / 3 % std::size(bounds)];
                    in.w = series(rng, widths, length, std::uint8_t{0});
                    ++index;
                    char label[160];
                    std::snprintf(label, sizeof label, " (%s, %s, %zu numbers, q=%g, widest %llu, %g..%g, %s, %s)",
                                  shape.name, nan.name, n, in.q, static_cast<unsigned long long>(in.limit),
                                  in.p.low_percentile, in.p.high_percentile, clock.name, widths.name);
                    compare(label, in, cores);
                }
            }
        }
    }
}

// The median's scale on each side of 0..255: raw windows kept exactly,
// collapsed, or collapsed with the side's extreme tracked, and windows whose
// two middle values straddle those sides or jump between its ends. Raw
// windows spread from busy to calm (calm and busy runs, few distinct steps,
// NaN), each (minimum, widest)
// pair putting the scale's edges elsewhere; at both thresholds' values.
void rank_scale_regimes(Rng& rng) {
    using kiv::thresholds::kExactReach;
    const double far = static_cast<double>(kExactReach) + 300.0;
    const std::pair<double, std::uint64_t> ends[] = {
        {1.0, 60},                    // exact
        {1.0, 1u << 20},              // calm collapsed above
        {1.0, UINT64_MAX},            // calm saturated, far above
        {-far, 0},                    // busy collapsed below, calm near 0
        {-far, 1u << 20},             // both collapsed, both tracked
        {-far, static_cast<std::uint64_t>(2 * far)},  // calm near 255 + far
        {-3.0 * far, static_cast<std::uint64_t>(2 * far)},
        {-1e18, 1u << 30},
        {-far, 175},                  // busy collapsed below, calm near 100
        {1.0, static_cast<std::uint64_t>((255.0 + far) / 0.95)},  // calm just collapsed
        {1.0, 1400},
        {300.0, 1000},                // everything above 255
        {-5.0, 40},
    };
    const std::uint64_t smoothing[] = {1, 2, 3, 4, 5, 30, 31, 255};
    for (const auto& [minimum, widest] : ends) {
        for (const std::size_t n : {1u, 2u, 7u, 64u, 301u}) {
            for (unsigned style = 0; style < 5; ++style) {
                std::vector<double> v(n);
                double level = 0.0;
                bool busy = false;
                for (std::size_t i = 0; i < n; ++i) {
                    // style 4: stretches of 20, whose medians jump between the scale's ends
                    if (style == 4 ? i % 20 == 0 : rng() % 8 == 0) busy = !busy;
                    const double step = style == 1 ? static_cast<double>(rng() % 3) : std::normal_distribution<double>(0.0, 1.0)(rng);
                    level += busy ? step * 50.0 : step * 0.01;
                    v[i] = style == 2 && rng() % 7 == 0 ? kNaN : level;
                }
                if (style == 3) std::shuffle(v.begin(), v.end(), rng);
                for (const std::uint64_t w : smoothing) {
                    kiv::SmoothingParams p;
                    p.min_window_size = minimum;
                    p.window_smooth_width_size = w == 255 ? n + rng() % 3 : w;
                    p.high_percentile = style >= 3 ? 50.0 : 90.0;  // half the samples the busiest
                    char label[120];
                    std::snprintf(label, sizeof label, " (scale: minimum %g, widest %llu, n=%zu, style %u, w=%llu)",
                                  minimum, static_cast<unsigned long long>(widest), n, style,
                                  static_cast<unsigned long long>(p.window_smooth_width_size));
                    Inputs in{v, {}, p, 50.0, widest, {}};
                    compare(label, in, kSizes);
                }
            }
        }
    }
}

// The sliding median with windows sorted in vectors against the counted
// one, on ranks of an untracked scale (no raw values read).
void same_medians(const char* label, const std::vector<std::uint16_t>& ranks, const kiv::RankScale& scale,
                  std::uint64_t w) {
    const kiv::RawWindows raw{kiv::Variability{{}}, {}};
    const std::size_t n = ranks.size();
    expect_same(
        "sorted sliding median" + std::string(label),
        [&] {
            kiv::OwnedBuffer<std::uint8_t> out(n);
            kiv::rolling_median_bytes(ranks, scale, raw, w, {out.data(), n});
            return out;
        },
        [&] {
            kiv::OwnedBuffer<std::uint8_t> out(n);
            kiv::counted_median_bytes(ranks, scale, raw, w, {out.data(), n});
            return out;
        });
}

// The sliding median with windows sorted in vector lanes against the
// counted one, on ranks straight away: every compiled width and the widths
// around each (w from 1 to past the widest the lanes take), signals just
// below and above the lane path's minimum (for w = 5 and 30) and around multiples of 8 and 16
// segments and of the block of steps (windows wider than a segment among
// them), NaN runs across segment boundaries, ties, ranks on both collapsed
// sides (untracked, so standing for infinities).
void sorted_median_lanes(Rng& rng) {
    using namespace kiv::thresholds;
    const std::pair<double, double> ends[] = {
        {0.0, 0.0}, {-3.0, 40.0}, {0.0, 255.0}, {-1e9, 100.0}, {0.0, 1e9}, {-1e9, 600.0}, {-700.0, 3.0},
    };
    std::vector<std::size_t> sizes = around({kMedianSamplesPerWidth * 5, kMedianSamplesPerWidth * 30, 64, 128, 8 * kMedianBlock, 16 * kMedianBlock,
                                             16 * (kMedianBlock + kMedianWidthMaximum)});
    sizes.insert(sizes.end(), {5, 17, 33, 100, 241, 1000, 3001});
    std::vector<std::uint64_t> widths{1, 2, 3, 4, 5, 7, 9, 15, 17, 30, 31, 33, 63, 65};
    for (const std::uint64_t w : {kMedianWidthMaximum - 1, kMedianWidthMaximum, kMedianWidthMaximum + 1})
        widths.push_back(w);
    std::size_t index = 0;
    for (const auto& [least, most] : ends) {
        const kiv::RankScale scale = kiv::rank_scale(least, most);
        const auto top = static_cast<std::uint16_t>(scale.top());
        if (scale.track_below || scale.track_above) continue;  // reads raw values: counted alone
        for (const std::size_t n : sizes) {
            for (unsigned style = 0; style < 6; ++style) {
                std::vector<std::uint16_t> ranks(n);
                std::uniform_int_distribution<int> any(0, top), few(0, 2);
                for (std::size_t i = 0; i < n; ++i) {
                    switch (style) {
                        case 0: ranks[i] = static_cast<std::uint16_t>(any(rng)); break;  // both ends among them
                        case 1: ranks[i] = static_cast<std::uint16_t>(few(rng) * top / 2); break;
                        case 2: ranks[i] = static_cast<std::uint16_t>(std::min<std::size_t>(1 + i % 3, top)); break;  // ties
                        case 3: ranks[i] = static_cast<std::uint16_t>(i * 7 % (top + 1)); break;
                        default: ranks[i] = static_cast<std::uint16_t>(rng() % 2 ? 0 : top); break;
                    }
                    if (rng() % 20 == 0) ranks[i] = kiv::kNoRank;
                }
                // style 4: runs of NaN across the boundaries of 8 and 16
                // segments; style 5: every sample NaN but a few
                for (const std::size_t lanes : {8u, 16u}) {
                    const std::size_t length = (n + lanes - 1) / lanes;
                    for (std::size_t k = 1; style == 4 && k < lanes && length != 0; ++k)
                        for (std::size_t i = k * length - std::min(k * length, std::size_t{5}); i < std::min(n, k * length + 3); ++i)
                            ranks[i] = kiv::kNoRank;
                }
                if (style == 5)
                    for (std::size_t i = 0; i < n; ++i)
                        if (rng() % 16 != 0) ranks[i] = kiv::kNoRank;
                for (const std::uint64_t w : widths) {
                    ++index;
                    if (index % 3 != 0 && n > 4000) continue;  // the longest signals at a third of the widths
                    char label[120];
                    std::snprintf(label, sizeof label, " (lanes: %g..%g, n=%zu, style %u, w=%llu)", least, most, n,
                                  style, static_cast<unsigned long long>(w));
                    same_medians(label, ranks, scale, w);
                }
            }
        }
    }
}

// Every width the lanes take, at the lengths where one window serves (down
// to none and past the crossing to the lanes), on signals all NaN, of both
// collapsed sides only, and of any ranks.
void sorted_median_short(Rng& rng) {
    using namespace kiv::thresholds;
    const kiv::RankScale scale = kiv::rank_scale(0.0, 255.0);  // no side tracked at either set of thresholds
    const auto top = static_cast<std::uint16_t>(scale.top());
    for (std::size_t w = 1; w <= kMedianWidthMaximum; ++w) {
        for (const std::size_t n : {std::size_t{0}, std::size_t{1}, w / 2, w - 1, w, 2 * w,
                                    kMedianSamplesPerWidth * w - 1, kMedianSamplesPerWidth * w}) {
            for (unsigned style = 0; style < 3; ++style) {
                std::vector<std::uint16_t> ranks(n, kiv::kNoRank);
                for (std::size_t i = 0; i < n && style != 0; ++i) {
                    const std::uint64_t r = rng();
                    if (r % 8 == 0) continue;
                    ranks[i] = static_cast<std::uint16_t>(style == 1 ? (r % 2 ? 0 : top) : r % (top + 1));
                }
                char label[80];
                std::snprintf(label, sizeof label, " (short: n=%zu, style %u, w=%zu)", n, style, w);
                same_medians(label, ranks, scale, w);
            }
        }
    }
}

// One set of numbers asked several questions in turn, as a selection that
// reuses its copy sees them: each answer is what a stable sort puts there.
void questions_in_turn(Rng& rng) {
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<double> v(2 + rng() % (trial % 10 == 0 ? 600 : 70));
        for (double& x : v)
            x = rng() % 8 == 0 ? pick(rng, {kNaN, -0.0, 0.0, kInf, -kInf}) : static_cast<double>(rng() % 20);
        std::vector<double> sorted;
        for (const double x : v)
            if (x == x) sorted.push_back(x);
        std::stable_sort(sorted.begin(), sorted.end());
        if (sorted.size() < 2) continue;
        const kiv::StableOrderStatistics<std::span<const double>> questions(v);
        const std::size_t last = sorted.size() - 2;  // the last place a pair starts
        std::size_t at = rng() % (last + 1);
        for (int q = 0; q < 12; ++q) {
            // Anywhere, next to the question before, or the same again: the
            // search lies between the cuts the earlier ones left.
            const unsigned move = rng() % 4;
            at = move == 0 ? rng() % (last + 1) : move == 1 ? (at < last ? at + 1 : 0) : move == 2 ? (at > 0 ? at - 1 : last) : at;
            ++checks;
            bool same;
            if (rng() % 2 == 0) {
                same = bits(questions.at(at)) == bits(sorted[at]);
            } else {
                const auto [first, second] = questions.pair_at(at);
                same = bits(first) == bits(sorted[at]) && bits(second) == bits(sorted[at + 1]);
            }
            if (!same && ++failures <= 10) std::printf("MISMATCH question %d at %zu of %zu numbers\n", q, at, sorted.size());
        }
    }
}

// Ascending timestamps with one odd one at each position in turn (NaN, or
// a step back): the one pass that looks for both reads whole vectors and a
// tail, and an odd timestamp in either must count.
void one_odd_timestamp(Rng& rng) {
    for (std::size_t n = 2; n <= 40; n += n < 20 ? 1 : 19) {
        for (std::size_t at = 0; at < n; ++at) {
            for (const double odd : {kNaN, -1.0}) {
                Inputs in{signal(rng, n), std::vector<double>(n), {}, 50.0, 60, {}};
                for (std::size_t k = 0; k < n; ++k) in.t[k] = static_cast<double>(k);
                in.t[at] = odd;
                compare(" (n=" + std::to_string(n) + ", odd timestamp at " + std::to_string(at) + ")", in, kPipeline);
            }
        }
    }
}



// Labels for `count` series: dense codes, multiples of a large step, codes
// that span just n or n + 1 values (the last ways of counting and the first
// of hashing), codes at either end of the int64 range, or ids drawn from
// the whole range.
std::vector<std::int64_t> fleet_labels(Rng& rng, std::size_t count, std::size_t n) {
    std::vector<std::int64_t> labels(count);
    const int kind = static_cast<int>(rng() % 7);
    constexpr std::int64_t top = std::numeric_limits<std::int64_t>::max();
    for (std::size_t g = 0; g < count; ++g) {
        const auto code = static_cast<std::int64_t>(g) - 5;
        switch (kind) {
            case 0: labels[g] = code; break;
            case 1: labels[g] = code * (std::int64_t{1} << 50); break;
            case 2: labels[g] = static_cast<std::int64_t>(rng()); break;
            case 5: labels[g] = top - static_cast<std::int64_t>(g); break;  // at one end of the range, or both
            case 6: labels[g] = g % 2 == 0 ? top - static_cast<std::int64_t>(g) : -top - 1 + static_cast<std::int64_t>(g); break;
            default: labels[g] = code; break;
        }
    }
    // the last label n or n + 1 above the first
    if ((kind == 3 || kind == 4) && count >= 2) labels[count - 1] = labels[0] + static_cast<std::int64_t>(n) + (kind - 3);
    // ids drawn at random may repeat: series then merge, as labels say
    return labels;
}

// Whether `grouping` holds the rows stably by label, a series for each
// label; gives the rows in that order and where each label's begin.
bool grouped_by_label(const kiv::GroupedFleet& grouping, const std::vector<double>& sv, const std::vector<double>& st,
                      const std::vector<std::int64_t>& sl, std::vector<std::uint64_t>& rows,
                      std::vector<std::uint64_t>& label_starts) {
    const std::size_t n = sl.size();
    rows.resize(n);
    label_starts.clear();
    for (std::size_t k = 0; k < n; ++k) rows[k] = k;
    std::stable_sort(rows.begin(), rows.end(), [&](auto a, auto b) { return sl[a] < sl[b]; });
    for (std::size_t k = 0; k < n; ++k)
        if (k == 0 || sl[rows[k]] != sl[rows[k - 1]]) label_starts.push_back(k);
    label_starts.push_back(n);
    bool placed = grouping.records.size() == n && grouping.starts.size() == label_starts.size() &&
                  std::equal(label_starts.begin(), label_starts.end(), grouping.starts.data()) &&
                  (n <= kiv::thresholds::kNarrowLabelIds ? grouping.narrow_places.size()
                                                         : grouping.wide_places.size()) == n;
    for (std::size_t k = 0; placed && k < n; ++k) {
        const kiv::Record& r = grouping.records[k];
        placed = grouping.place(rows[k]) == k && bits(r.value) == bits(sv[rows[k]]) &&
                 bits(r.timestamp) == bits(st[rows[k]]);
    }
    return placed;
}

// Labels near both ends of the int64 range and few rows, every order of
// them: ways of counting by value must not take values that wrap around
// the range for values next to each other.
void labels_at_the_ends() {
    constexpr std::int64_t top = std::numeric_limits<std::int64_t>::max(), bottom = -top - 1;
    const std::vector<std::vector<std::int64_t>> sets = {
        {top - 4, top - 2, top, bottom + 1}, {top, top, bottom, bottom + 2}, {bottom, bottom + 3, top - 1, top},
        {top - 1, top, 0, bottom}};
    for (const auto& set : sets) {
        std::vector<std::int64_t> sl = set;
        // each order of the set, then each again with every label twice
        for (int twice = 0; twice < 2; ++twice) {
            std::sort(sl.begin(), sl.end());
            do {
                const std::vector<double> sv(sl.size(), 1.0), st(sl.size(), 2.0);
                for (const std::size_t workers : {1, 2}) {
                    std::vector<std::uint64_t> rows, label_starts;
                    ++checks;
                    if (!grouped_by_label(kiv::group_fleet(sv, st, sl, workers), sv, st, sl, rows, label_starts) &&
                        ++failures <= 10)
                        std::printf("MISMATCH grouping of labels at the ends, %zu rows\n", sl.size());
                }
            } while (std::next_permutation(sl.begin(), sl.end()));
            sl.insert(sl.end(), set.begin(), set.end());
        }
    }
}

// Many short series, labels far apart, rows by series or shuffled, on up
// to 5 workers: each run of rows may hash few labels of its own while all
// runs together have more than fit a count for each in every run.
void many_short_series(Rng& rng) {
    for (int c = 0; c < 300; ++c) {
        const std::size_t count = 1 + rng() % 80, most = 1 + rng() % 5;
        std::vector<std::int64_t> sl;
        for (std::size_t g = 0; g < count; ++g) {
            const auto label = rng() % 4 == 0 ? static_cast<std::int64_t>(g) : static_cast<std::int64_t>(rng());
            sl.insert(sl.end(), 1 + rng() % most, label);
        }
        if (rng() % 2 == 0) std::shuffle(sl.begin(), sl.end(), rng);
        std::vector<double> sv(sl.size()), st(sl.size());
        for (std::size_t k = 0; k < sl.size(); ++k) sv[k] = st[k] = static_cast<double>(k);
        const std::size_t workers = 1 + rng() % 5;
        std::vector<std::uint64_t> rows, label_starts;
        ++checks;
        if (!grouped_by_label(kiv::group_fleet(sv, st, sl, workers), sv, st, sl, rows, label_starts) &&
            ++failures <= 10)
            std::printf("MISMATCH grouping of %zu short series, %zu rows, %zu workers\n", count, sl.size(), workers);
    }
}

// Labels whose counting window widens many times (ascending, zigzagging
// out from 0, far ends first and then one value): all the memory the
// grouping asks for stays within a few words a row, where rebuilding a
// window as large as the labels' span again and again took several times
// more.
void widening_windows() {
#ifdef KIV_COUNT_ALLOCATIONS
    for (const std::size_t n : {256, 4096, 65536}) {
        const auto half = static_cast<std::int64_t>(n / 2);
        std::vector<std::vector<std::int64_t>> layouts(3, std::vector<std::int64_t>(n));
        for (std::size_t k = 0; k < n; ++k) {
            const auto i = static_cast<std::int64_t>(k);
            layouts[0][k] = i;
            layouts[1][k] = k % 2 == 0 ? i / 2 : -i / 2;
            layouts[2][k] = k < 96 ? (k % 2 == 0 ? -half + i : half - i) : 0;
        }
        const std::vector<double> v(n, 1.0), t(n, 2.0);
        for (std::size_t l = 0; l < layouts.size(); ++l) {
            for (const std::size_t workers : {1, 2}) {
                bytes_asked = 0;
                const kiv::GroupedFleet grouped = kiv::group_fleet(v, t, layouts[l], workers);
                const double per_row = static_cast<double>(bytes_asked.load()) / static_cast<double>(n);
                ++checks;
                if (per_row > 96 && ++failures <= 10)
                    std::printf("MISMATCH grouping of layout %zu, %zu rows, %zu workers asked %.0f bytes a row\n", l, n,
                                workers, per_row);
            }
        }
    }
    // One label, few rows: the window as large as the rows, not twice.
    for (const std::size_t n : {100, 1000}) {
        const std::vector<double> v(n, 1.0), t(n, 2.0);
        const std::vector<std::int64_t> labels(n, 7);
        bytes_asked = 0;
        const kiv::GroupedFleet grouped = kiv::group_fleet(v, t, labels, 1);
        // less the records, places and starts made
        const double beyond = static_cast<double>(bytes_asked.load()) - 20.0 * static_cast<double>(n) - 16.0;
        ++checks;
        if (beyond > 12.0 * static_cast<double>(n) && ++failures <= 10)
            std::printf("MISMATCH grouping of one label, %zu rows, asked %.0f bytes a row for counts\n", n,
                        beyond / static_cast<double>(n));
    }
#endif
}

// Fleets: every series as the pipeline smooths it alone, by offsets and by
// labels over shuffled rows, on one worker and on several; a series that
// fails fails the fleet with a failure of its own (with one worker, the
// first series' that fails).
void fleets(Rng& rng) {
    for (int c = 0; c < 200; ++c) {
        const std::size_t count = rng() % 4 == 0 ? rng() % 4 : rng() % 40;
        std::vector<std::uint64_t> starts{0};
        std::vector<double> v, t;
        for (std::size_t g = 0; g < count; ++g) {
            const std::size_t len = rng() % 4 == 0 ? rng() % 3 : rng() % (rng() % 8 == 0 ? 3000 : 200);
            const auto sv = signal(rng, len), st = times(rng, len);
            v.insert(v.end(), sv.begin(), sv.end());
            t.insert(t.end(), st.begin(), st.end());
            starts.push_back(v.size());
        }
        const std::size_t n = v.size();
        if (n != 0 && rng() % 8 == 0) t[rng() % n] = kNaN;
        const kiv::SmoothingParams p = params(rng, n);
        // Labels for the same series, rows shuffled.
        const std::vector<std::int64_t> series_labels = fleet_labels(rng, count, n);
        std::vector<std::int64_t> labels(n);
        for (std::size_t g = 0; g < count; ++g)
            for (std::uint64_t k = starts[g]; k < starts[g + 1]; ++k) labels[k] = series_labels[g];
        // Now and then rows mostly of labels of their own, too many for the hash table.
        if (rng() % 8 == 0)
            for (std::int64_t& label : labels) label = static_cast<std::int64_t>(rng() % (n + n / 4 + 1)) << 40;
        // Rows shuffled, or by label rising or falling (the counting's window
        // then widens as the labels come, one way), or series taking turns.
        std::vector<std::size_t> shuffle(n);
        for (std::size_t k = 0; k < n; ++k) shuffle[k] = k;
        switch (rng() % 4) {
            case 0: std::reverse(shuffle.begin(), shuffle.end()); break;
            case 1: break;
            case 2: {
                std::vector<std::uint64_t> within(n);
                for (std::size_t g = 0; g < count; ++g)
                    for (std::uint64_t k = starts[g]; k < starts[g + 1]; ++k) within[k] = k - starts[g];
                std::stable_sort(shuffle.begin(), shuffle.end(),
                                 [&](std::size_t a, std::size_t b) { return within[a] < within[b]; });
                break;
            }
            default: std::shuffle(shuffle.begin(), shuffle.end(), rng); break;
        }
        std::vector<double> sv(n), st(n);
        std::vector<std::int64_t> sl(n);
        for (std::size_t k = 0; k < n; ++k) {
            sv[k] = v[shuffle[k]];
            st[k] = t[shuffle[k]];
            sl[k] = labels[shuffle[k]];
        }
        // The grouping: rows stably by label, a series for each label.
        const auto grouping = kiv::group_fleet(sv, st, sl, 1 + rng() % 3);
        std::vector<std::uint64_t> rows, label_starts;
        ++checks;
        if (!grouped_by_label(grouping, sv, st, sl, rows, label_starts) && ++failures <= 10)
            std::printf("MISMATCH grouping of %zu rows\n", n);

        for (const bool grouped : {false, true}) {
            const kiv::Fleet fleet{v, t, starts};
            const std::vector<std::uint64_t>& bounds = grouped ? label_starts : starts;
            const auto row_of = [&](std::uint64_t k) { return grouped ? rows[k] : k; };
            // The loop: each series gathered and smoothed alone.
            std::vector<double> expected(n);
            std::vector<std::string> failed;
            bool nan_time = false;
            for (std::size_t g = 0; g + 1 < bounds.size(); ++g) {
                std::vector<double> gv, gt;
                for (std::uint64_t k = bounds[g]; k < bounds[g + 1]; ++k) {
                    gv.push_back(grouped ? sv[row_of(k)] : v[k]);
                    gt.push_back(grouped ? st[row_of(k)] : t[k]);
                }
                for (const double x : gt) nan_time |= gt.size() >= 2 && x != x;
                try {
                    const auto out = kiv::smooth_pipeline(gv, gt, p);
                    for (std::uint64_t k = bounds[g]; k < bounds[g + 1]; ++k) expected[row_of(k)] = out[k - bounds[g]];
                } catch (const kiv::InternalFailure& failure) {
                    failed.push_back(failure.message());
                }
            }
            ++checks;
            const bool nan_found = grouped ? kiv::first_nan_timestamp(grouping).has_value()
                                           : kiv::first_nan_timestamp(fleet).has_value();
            if (nan_found != nan_time && ++failures <= 10)
                std::printf("MISMATCH first NaN timestamp of a fleet of %zu\n", n);
            for (const std::size_t workers : {1, 2, 5}) {
                std::vector<double> got(n, 7.0);
                std::string message;
                try {
                    if (grouped) {
                        kiv::GroupedFleet again = kiv::group_fleet(sv, st, sl, workers);
                        kiv::smooth_fleet(again, p, workers, got.data());
                    } else {
                        kiv::smooth_fleet(fleet, p, workers, got.data());
                    }
                } catch (const kiv::InternalFailure& failure) {
                    message = failure.message();
                }
                const bool same = failed.empty()
                                      ? message.empty() && (n == 0 || std::memcmp(got.data(), expected.data(), n * 8) == 0)
                                      : workers == 1 ? message == failed.front()
                                                     : std::count(failed.begin(), failed.end(), message) > 0;
                ++checks;
                if (!same && ++failures <= 10)
                    std::printf("MISMATCH fleet of %zu series, %zu samples, %s, %zu workers: %s\n",
                                bounds.size() - 1, n, grouped ? "grouped" : "by offsets", workers, message.c_str());
            }
        }
    }
}

// A task that fails stops the others: once they see it, none takes another
// task (one already taken may start as the stop is set: one a worker at
// most), and the first failure is the one that comes out.
void failing_tasks() {
    for (const std::size_t workers : {1, 2, 4}) {
        std::atomic<std::size_t> started{0}, after_stop{0};
        std::string message;
        try {
            kiv::run_tasks(1000000, workers, [&](std::size_t task, std::size_t, const std::atomic<bool>& stop) {
                ++started;
                if (stop.load()) ++after_stop;
                if (task == 100) kiv::resume_failure("task 100");
                if (task > 100 && workers == 1) kiv::resume_failure("a task after the failure");
            });
        } catch (const kiv::InternalFailure& failure) {
            message = failure.message();
        }
        ++checks;
        if (message != "task 100" || after_stop.load() >= workers || started.load() >= 1000000) {
            if (++failures <= 10)
                std::printf("MISMATCH failing task, %zu workers: '%s', %zu started, %zu after the stop\n",
                            workers, message.c_str(), started.load(), after_stop.load());
        }
    }
}

// Threads that cannot be started leave their share to those that are: on 4
// workers with none or one more thread to be had, every task runs once, on
// the threads that exist, and a fleet comes out as on one worker.
void refused_threads(Rng& rng) {
#ifndef KIV_NO_THREAD_REFUSALS
    std::vector<double> v, t;
    std::vector<std::uint64_t> starts{0};
    for (int g = 0; g < 60; ++g) {
        const std::size_t len = 1 + rng() % 300;
        const auto sv = signal(rng, len), st = times(rng, len);
        v.insert(v.end(), sv.begin(), sv.end());
        t.insert(t.end(), st.begin(), st.end());
        starts.push_back(v.size());
    }
    const std::size_t n = v.size();
    std::vector<std::int64_t> labels(n);
    for (std::size_t k = 0; k < n; ++k) labels[k] = static_cast<std::int64_t>(rng() % 50) << 40;
    const kiv::SmoothingParams p{};
    std::vector<double> alone(n), grouped_alone(n);
    kiv::smooth_fleet(kiv::Fleet{v, t, starts}, p, 1, alone.data());
    kiv::GroupedFleet once = kiv::group_fleet(v, t, labels, 1);
    kiv::smooth_fleet(once, p, 1, grouped_alone.data());
    for (const int allowed : {0, 1}) {
        threads_allowed = allowed;
        std::vector<std::atomic<int>> runs(1000);
        std::atomic<std::size_t> highest{0};
        kiv::run_tasks(runs.size(), 4, [&](std::size_t task, std::size_t worker, const std::atomic<bool>&) {
            ++runs[task];
            std::size_t seen = highest.load();
            while (worker > seen && !highest.compare_exchange_weak(seen, worker)) {
            }
        });
        threads_allowed = allowed;
        std::vector<double> got(n, 7.0), grouped_got(n, 7.0);
        kiv::smooth_fleet(kiv::Fleet{v, t, starts}, p, 4, got.data());
        threads_allowed = allowed;
        kiv::GroupedFleet again = kiv::group_fleet(v, t, labels, 4);
        kiv::smooth_fleet(again, p, 4, grouped_got.data());
        threads_allowed = -1;
        const bool once_each = std::all_of(runs.begin(), runs.end(), [](const auto& r) { return r.load() == 1; });
        ++checks;
        if ((!once_each || highest.load() > static_cast<std::size_t>(allowed) ||
             std::memcmp(got.data(), alone.data(), n * 8) != 0 ||
             std::memcmp(grouped_got.data(), grouped_alone.data(), n * 8) != 0) &&
            ++failures <= 10) {
            std::printf("MISMATCH with %d more threads to be had: tasks once each %d, highest worker %zu\n",
                        allowed, once_each, highest.load());
        }
    }
#else
    (void)rng;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    // The kernels of the CPU level that KIV_CPU_LEVEL caps, unless this CPU lacks it.
    const kiv::CpuLevel& level = kiv::cpu_level();
    if (!level.error.empty()) {
        std::fprintf(stderr, "%s\n", level.error.c_str());
        return 2;
    }
    const char* asked = std::getenv("KIV_CPU_LEVEL");
    if (asked != nullptr && *asked != '\0' && std::strcmp(asked, "baseline") != 0 &&
        std::strcmp(asked, level.kernels->level) != 0) {
        std::printf("skipped: this CPU does not support %s\n", asked);
        return 0;
    }
    std::printf("CPU level %s\n", level.kernels->level);
    const int cases = argc > 1 ? std::atoi(argv[1]) : 3000;
    Rng rng(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20261207);
    // A third argument names the families to run, comma-separated (random,
    // structured, fleets, tasks): the fleets and tasks alone take seconds
    // where a thread sanitizer makes the whole run take most of an hour.
    const std::string only = argc > 3 ? argv[3] : "random,structured,fleets,tasks";
    const auto chosen = [&](const char* family) {
        return ("," + only + ",").find("," + std::string(family) + ",") != std::string::npos;
    };
    if (chosen("random")) {
        for (int c = 0; c < cases; ++c) one_case(rng, rng() % 3 == 0 ? rng() % 8 : rng() % 300);
        // the last beyond the huge-page buffers (2 MiB of doubles)
        for (std::size_t n : {4096u, 12000u, 65536u, 300000u}) one_case(rng, n);
    }
    if (chosen("structured")) {
        structured_family(rng);
        rank_scale_regimes(rng);
        sorted_median_lanes(rng);
        sorted_median_short(rng);
        questions_in_turn(rng);
        one_odd_timestamp(rng);
    }
    if (chosen("fleets")) {
        fleets(rng);
        labels_at_the_ends();
        many_short_series(rng);
        widening_windows();
    }
    if (chosen("tasks")) {
        failing_tasks();
        refused_threads(rng);
    }
    std::printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
