#include "kiv/core/window_sizes.hpp"

#include "binding/array_argument.hpp"
#include "binding/binder.hpp"
#include "binding/detached.hpp"
#include "binding/result_array.hpp"
#include "kiv/functions.hpp"

namespace kiv {

namespace {

constexpr const char* kPositional[] = {"values", "max_window_size"};
constexpr KeywordParameter kKeywordOnly[] = {{"min_window_size", false},
                                             {"window_smooth_width_size", false},
                                             {"low_percentile", false},
                                             {"high_percentile", false}};
constexpr ParameterSpec kSpec{"calculate_window_sizes", kPositional, kKeywordOnly, nullptr, 0, 2};

}  // namespace

Ref calculate_window_sizes_call(FastCallArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[6] = {};
    bind_arguments(kSpec, args, nargs, kwnames, slots);
    const auto values = ArrayArgument::extract(slots[0], "values", ElementKind::float64, MaskedEntries::missing);
    const std::uint64_t max_window_size = u64_argument(slots[1], "max_window_size", 0);
    const SmoothingParams defaults;
    SmoothingParams params;
    params.min_window_size = float_argument(slots[2], "min_window_size", defaults.min_window_size);
    params.window_smooth_width_size =
        u64_argument(slots[3], "window_smooth_width_size", defaults.window_smooth_width_size);
    params.low_percentile = float_argument(slots[4], "low_percentile", defaults.low_percentile);
    params.high_percentile = float_argument(slots[5], "high_percentile", defaults.high_percentile);
    const auto samples = values.float64_slice("values");
    return hand_over(
        run_detached(samples.size(), [&] { return compute_window_sizes(samples, max_window_size, params); }));
}

}  // namespace kiv
