#include "kiv/core/window_limit.hpp"

#include "binding/array_argument.hpp"
#include "binding/binder.hpp"
#include "binding/detached.hpp"
#include "kiv/functions.hpp"
#include "kiv/smoothing_keywords.hpp"

namespace kiv {

namespace {

constexpr Signature<1, 2> kSignature{
    "get_max_window_limit",
    "get_max_window_limit(timestamps, *, min_window_size=..., max_window_sec=...)\n--\n\n"
    "Maximum window size derived from the sampling rate.",
    {"timestamps"},
    {keyword::min_window_size, keyword::max_window_sec}};

Ref get_max_window_limit_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto bound = bind(kSignature, args, nargs, kwnames);
    std::int64_t limit = 0;
    {
        const auto timestamps =
            ArrayArgument::extract(bound[kSignature.slot("timestamps")], "timestamps", ElementKind::float64);
        const SmoothingParams params = smoothing_params<kSignature>(bound);
        const auto samples = timestamps.float64_slice("timestamps");
        limit = run_detached(samples.size(), [&] {
            return max_window_limit(samples, params.min_window_size, params.max_window_sec);
        });
    }
    return owned_or_fail(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(limit)));
}

}  // namespace

PyMethodDef get_max_window_limit_method = method_def<get_max_window_limit_call, kSignature>();

}  // namespace kiv
