#include "kiv/core/pipeline.hpp"

#include "binding/array_argument.hpp"
#include "binding/binder.hpp"
#include "binding/detached.hpp"
#include "binding/result_array.hpp"
#include "kiv/functions.hpp"

namespace kiv {

namespace {

constexpr const char* kPositional[] = {"values", "timestamps"};
constexpr KeywordParameter kKeywordOnly[] = {{"min_window_size", false},
                                             {"max_window_sec", false},
                                             {"window_smooth_width_size", false},
                                             {"low_percentile", false},
                                             {"high_percentile", false}};
constexpr ParameterSpec kSpec{"smooth", kPositional, kKeywordOnly, nullptr, 0, 2};

}  // namespace

SmoothingParams smoothing_params(PyObject* const* slots) {
    const SmoothingParams defaults;
    SmoothingParams params;
    params.min_window_size = float_argument(slots[0], "min_window_size", defaults.min_window_size);
    params.max_window_sec = float_argument(slots[1], "max_window_sec", defaults.max_window_sec);
    params.window_smooth_width_size =
        u64_argument(slots[2], "window_smooth_width_size", defaults.window_smooth_width_size);
    params.low_percentile = float_argument(slots[3], "low_percentile", defaults.low_percentile);
    params.high_percentile = float_argument(slots[4], "high_percentile", defaults.high_percentile);
    return params;
}

Ref smooth_call(FastCallArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[7] = {};
    bind_arguments(kSpec, args, nargs, kwnames, slots);
    const auto values = ArrayArgument::extract(slots[0], "values", ElementKind::float64, MaskedEntries::missing);
    const auto timestamps = ArrayArgument::extract(slots[1], "timestamps", ElementKind::float64);
    const SmoothingParams params = smoothing_params(slots + 2);
    const auto value_samples = values.float64_slice("values");
    const auto time_samples = timestamps.float64_slice("timestamps");
    if (value_samples.size() != time_samples.size()) {
        throw PyError(PyExc_ValueError, "`values` and `timestamps` must have the same length");
    }
    return hand_over(run_detached(value_samples.size(),
                                  [&] { return smooth_pipeline(value_samples, time_samples, params); }));
}

}  // namespace kiv
