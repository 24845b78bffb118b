#include "kiv/core/pipeline.hpp"

#include "binding/array_argument.hpp"
#include "binding/binder.hpp"
#include "binding/detached.hpp"
#include "binding/result_array.hpp"
#include "kiv/functions.hpp"
#include "kiv/smoothing_keywords.hpp"

namespace kiv {

namespace {

constexpr Signature<2, 5> kSignature{
    "smooth",
    "smooth(values, timestamps, *, min_window_size=..., max_window_sec=..., window_smooth_width_size=..., "
    "low_percentile=..., high_percentile=...)\n--\n\nFull KIV smoothing",
    {"values", "timestamps"},
    {keyword::min_window_size, keyword::max_window_sec, keyword::window_smooth_width_size, keyword::low_percentile,
     keyword::high_percentile}};

Ref smooth_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto bound = bind(kSignature, args, nargs, kwnames);
    const auto values = ArrayArgument::extract(bound[kSignature.slot("values")], "values", ElementKind::float64,
                                               MaskedEntries::missing);
    const auto timestamps = ArrayArgument::extract(bound[kSignature.slot("timestamps")], "timestamps",
                                                   ElementKind::float64);
    const SmoothingParams params = smoothing_params<kSignature>(bound);
    const auto value_samples = values.float64_slice("values");
    const auto time_samples = timestamps.float64_slice("timestamps");
    if (value_samples.size() != time_samples.size()) {
        throw PyError(PyExc_ValueError, "`values` and `timestamps` must have the same length");
    }
    return hand_over(run_detached(value_samples.size(),
                                  [&] { return smooth_pipeline(value_samples, time_samples, params); }));
}

}  // namespace

PyMethodDef smooth_method = method_def<smooth_call, kSignature>();

}  // namespace kiv
