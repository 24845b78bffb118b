#include "kiv/core/variable_smoothing.hpp"

#include "binding/array_argument.hpp"
#include "binding/binder.hpp"
#include "binding/detached.hpp"
#include "binding/result_array.hpp"
#include "kiv/functions.hpp"

namespace kiv {

namespace {

constexpr Signature<2, 0> kSignature{
    "apply_variable_smoothing",
    "apply_variable_smoothing(values, window_sizes)\n--\n\n"
    "Apply the per-sample variable-width centered rolling mean",
    {"values", "window_sizes"},
    {}};

Ref apply_variable_smoothing_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto bound = bind(kSignature, args, nargs, kwnames);
    const auto values = ArrayArgument::extract(bound[kSignature.slot("values")], "values", ElementKind::float64,
                                               MaskedEntries::missing);
    const auto window_sizes =
        ArrayArgument::extract(bound[kSignature.slot("window_sizes")], "window_sizes", ElementKind::int64);
    const auto samples = values.float64_slice("values");
    const auto sizes = window_sizes.int64_slice("window_sizes");
    if (samples.size() != sizes.size()) {
        throw PyError(PyExc_ValueError, "`values` and `window_sizes` must have the same length");
    }
    // A width outside one byte would silently become another width: checked
    // as the widths are narrowed.
    bool outside = false;
    auto smoothed = run_detached(samples.size(), [&] { return variable_rolling_mean(samples, sizes, outside); });
    if (outside) throw PyError(PyExc_ValueError, "`window_sizes` values must be between 0 and 255");
    return hand_over(std::move(smoothed));
}

}  // namespace

PyMethodDef apply_variable_smoothing_method = method_def<apply_variable_smoothing_call, kSignature>();

}  // namespace kiv
