// Where smooth_many(groups=...) spends its time, ns a row on one thread:
// grouping, the NaN check, unpacking the records, ordering each series by
// time, smoothing (the ordering included) and the gather of each row's
// result, against the whole call by labels and by offsets. Fleets of about 10^6 samples at
// 10 Hz with calm and busy stretches and 1% NaN; rows in time order (the
// sensors interleaved) or shuffled; labels dense or spread over the int64
// range. Thread CPU time, medians over rounds that alternate the stages.
//
//     kiv_fleet_split [rounds]    (KIV_CPU_LEVEL caps the level)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "kiv/core/fleet.hpp"
#include "kiv/core/kernels.hpp"
#include "kiv/core/pipeline.hpp"
#include "kiv/core/time_order.hpp"

namespace {

double thread_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

struct Table {
    std::vector<double> values, timestamps;
    std::vector<std::int64_t> labels;
    std::vector<std::uint64_t> starts;  // the same fleet by offsets
    std::vector<double> grouped_values, grouped_timestamps;
};

// `count` series of `length` samples, each from time 0 at about 10 Hz.
Table make_table(std::size_t count, std::size_t length, bool shuffled, bool wide) {
    std::mt19937_64 rng(count * 31 + length);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::size_t n = count * length;
    Table t;
    t.starts.push_back(0);
    for (std::size_t g = 0; g < count; ++g) {
        double time = 0.0, level = 5.0 * unit(rng);
        bool busy = false;
        for (std::size_t k = 0; k < length; ++k) {
            time += 0.1 * (0.7 + 0.6 * unit(rng));
            if (unit(rng) < 1.0 / 3000) busy = !busy;
            level += 0.01 * normal(rng);
            const double v = level + normal(rng) * (busy ? 1.0 : 0.02);
            t.grouped_values.push_back(unit(rng) < 0.01 ? NAN : v);
            t.grouped_timestamps.push_back(time);
        }
        t.starts.push_back(t.grouped_values.size());
    }
    std::vector<std::int64_t> ids(count);
    std::iota(ids.begin(), ids.end(), 0);
    if (wide)
        for (std::int64_t& id : ids) id = static_cast<std::int64_t>(rng());
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    if (shuffled) {
        std::shuffle(order.begin(), order.end(), rng);
    } else {
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return t.grouped_timestamps[a] < t.grouped_timestamps[b]; });
    }
    for (const std::size_t k : order) {
        t.values.push_back(t.grouped_values[k]);
        t.timestamps.push_back(t.grouped_timestamps[k]);
        t.labels.push_back(ids[k / length]);
    }
    return t;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
    std::printf("CPU level %s, ns a row (thread CPU time, median of %d rounds)\n", kiv::kernels().level, rounds);
    std::printf("%-12s %-9s %-5s %9s %6s %7s %9s %10s %8s %10s %8s\n", "fleet", "rows", "label", "grouping", "NaN",
                "unpack", "ordering", "smoothing", "gather", "by labels", "offsets");
    const kiv::SmoothingParams params{};
    for (const auto& [count, length] : {std::pair<std::size_t, std::size_t>{10000, 100}, {100, 10000}}) {
        for (const bool shuffled : {false, true}) {
            for (const bool wide : {false, true}) {
                const Table t = make_table(count, length, shuffled, wide);
                const std::size_t n = t.values.size();
                std::vector<double> out(n);
                std::vector<std::vector<double>> times(8);
                for (int r = 0; r < rounds; ++r) {
                    double start = thread_ns();
                    kiv::GroupedFleet grouped = kiv::group_fleet(t.values, t.timestamps, t.labels, 1);
                    times[0].push_back(thread_ns() - start);
                    start = thread_ns();
                    const bool nan = kiv::first_nan_timestamp(grouped).has_value();
                    times[1].push_back(thread_ns() - start);
                    if (nan) return 1;
                    // The series unpacked, then each ordered alone (timed apart from the
                    // smoothing, which orders it again), then smoothed whole.
                    const std::size_t series = grouped.starts.size() - 1;
                    std::vector<double> v(n), ts(n), sorted(n), smoothed(n);
                    std::vector<std::uint32_t> order(n);
                    start = thread_ns();
                    for (std::size_t k = 0; k < n; ++k) {
                        v[k] = grouped.records[k].value;
                        ts[k] = grouped.records[k].timestamp;
                    }
                    times[2].push_back(thread_ns() - start);
                    start = thread_ns();
                    for (std::size_t g = 0; g < series; ++g) {
                        const std::size_t from = grouped.starts[g], len = grouped.starts[g + 1] - from;
                        if (!kiv::kernels().time_shape(ts.data() + from, len).ascending)
                            kiv::stable_time_order<std::uint32_t>({ts.data() + from, len}, order.data() + from,
                                                                  sorted.data() + from);
                    }
                    times[3].push_back(thread_ns() - start);
                    start = thread_ns();
                    for (std::size_t g = 0; g < series; ++g) {
                        const std::size_t from = grouped.starts[g], len = grouped.starts[g + 1] - from;
                        kiv::smooth_pipeline_into({v.data() + from, len}, {ts.data() + from, len}, params,
                                                  smoothed.data() + from);
                    }
                    times[4].push_back(thread_ns() - start);
                    for (std::size_t k = 0; k < n; ++k) grouped.records[k].value = smoothed[k];
                    start = thread_ns();
                    for (std::size_t k = 0; k < n; ++k) out[k] = grouped.records[grouped.place(k)].value;
                    times[5].push_back(thread_ns() - start);
                    start = thread_ns();
                    {
                        kiv::GroupedFleet whole = kiv::group_fleet(t.values, t.timestamps, t.labels, 1);
                        if (!kiv::first_nan_timestamp(whole)) kiv::smooth_fleet(whole, params, 1, out.data());
                    }
                    times[6].push_back(thread_ns() - start);
                    start = thread_ns();
                    const kiv::Fleet by_offsets{t.grouped_values, t.grouped_timestamps, t.starts};
                    if (!kiv::first_nan_timestamp(by_offsets)) kiv::smooth_fleet(by_offsets, params, 1, out.data());
                    times[7].push_back(thread_ns() - start);
                }
                const auto ns = [&](int stage) { return median(times[stage]) / static_cast<double>(n); };
                const std::string fleet = std::to_string(count) + " x " + std::to_string(length);
                std::printf("%-12s %-9s %-5s %9.1f %6.2f %7.1f %9.1f %10.1f %8.1f %10.1f %8.1f\n", fleet.c_str(),
                            shuffled ? "shuffled" : "time", wide ? "wide" : "dense", ns(0), ns(1), ns(2), ns(3),
                            ns(4), ns(5), ns(6), ns(7));
            }
        }
    }
    return 0;
}
