#include "kiv/core/window_sizes.hpp"

#include "binding/array_argument.hpp"
#include "binding/binder.hpp"
#include "binding/detached.hpp"
#include "binding/result_array.hpp"
#include "kiv/functions.hpp"
#include "kiv/smoothing_keywords.hpp"

namespace kiv {

namespace {

constexpr Signature<2, 4> kSignature{
    "calculate_window_sizes",
    "calculate_window_sizes(values, max_window_size, *, min_window_size=..., window_smooth_width_size=..., "
    "low_percentile=..., high_percentile=...)\n--\n\nPer-sample odd window sizes based on signal variability",
    {"values", "max_window_size"},
    {keyword::min_window_size, keyword::window_smooth_width_size, keyword::low_percentile, keyword::high_percentile}};

Ref calculate_window_sizes_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto bound = bind(kSignature, args, nargs, kwnames);
    const auto values = ArrayArgument::extract(bound[kSignature.slot("values")], "values", ElementKind::float64,
                                               MaskedEntries::missing);
    const std::uint64_t max_window_size = u64_argument(bound[kSignature.slot("max_window_size")], "max_window_size", 0);
    const SmoothingParams params = smoothing_params<kSignature>(bound);
    const auto samples = values.float64_slice("values");
    return hand_over(
        run_detached(samples.size(), [&] { return compute_window_sizes(samples, max_window_size, params); }));
}

}  // namespace

PyMethodDef calculate_window_sizes_method = method_def<calculate_window_sizes_call, kSignature>();

}  // namespace kiv
