// A C face for the literal cores, so that Python (the benchmarks, the
// structured tests) can call them through ctypes. Raw pointers in,
// caller-allocated outputs; every exception stops at this boundary and
// becomes a -1 with the message kept for kivref_last_error.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <span>
#include <string>

#include "reference_cores.hpp"

namespace {

thread_local std::string last_error;

template <class F>
int guarded(F&& body) noexcept {
    try {
        body();
        return 0;
    } catch (const std::exception& e) {
        last_error = e.what();
    } catch (...) {
        last_error = "unknown exception";
    }
    return -1;
}

kiv::SmoothingParams make_params(double min_window_size, double max_window_sec,
                                 std::uint64_t window_smooth_width_size, double low_percentile,
                                 double high_percentile) {
    kiv::SmoothingParams p;
    p.min_window_size = min_window_size;
    p.max_window_sec = max_window_sec;
    p.window_smooth_width_size = window_smooth_width_size;
    p.low_percentile = low_percentile;
    p.high_percentile = high_percentile;
    return p;
}

template <class T>
void copy_out(const kiv::OwnedBuffer<T>& buffer, T* out) {
    if (buffer.size() != 0) std::memcpy(out, buffer.data(), buffer.size() * sizeof(T));
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) const char* kivref_last_error() {
    return last_error.c_str();
}

__attribute__((visibility("default"))) int kivref_max_window_limit(
    const double* timestamps, std::size_t n, double min_window_size, double max_window_sec,
    std::int64_t* out) {
    return guarded([&] {
        *out = kiv::reference::max_window_limit(std::span<const double>(timestamps, n),
                                                min_window_size, max_window_sec);
    });
}

__attribute__((visibility("default"))) int kivref_compute_window_sizes(
    const double* samples, std::size_t n, std::uint64_t max_window_size, double min_window_size,
    double max_window_sec, std::uint64_t window_smooth_width_size, double low_percentile,
    double high_percentile, std::uint8_t* out) {
    return guarded([&] {
        const auto params = make_params(min_window_size, max_window_sec, window_smooth_width_size,
                                        low_percentile, high_percentile);
        copy_out(kiv::reference::compute_window_sizes(std::span<const double>(samples, n),
                                                      max_window_size, params),
                 out);
    });
}

__attribute__((visibility("default"))) int kivref_variable_rolling_mean(
    const double* samples, const std::uint8_t* widths, std::size_t n, double* out) {
    return guarded([&] {
        copy_out(kiv::reference::variable_rolling_mean(std::span<const double>(samples, n),
                                                       std::span<const std::uint8_t>(widths, n)),
                 out);
    });
}

__attribute__((visibility("default"))) int kivref_smooth_pipeline(
    const double* values, const double* timestamps, std::size_t n, double min_window_size,
    double max_window_sec, std::uint64_t window_smooth_width_size, double low_percentile,
    double high_percentile, double* out) {
    return guarded([&] {
        const auto params = make_params(min_window_size, max_window_sec, window_smooth_width_size,
                                        low_percentile, high_percentile);
        copy_out(kiv::reference::smooth_pipeline(std::span<const double>(values, n),
                                                 std::span<const double>(timestamps, n), params),
                 out);
    });
}

}  // extern "C"
