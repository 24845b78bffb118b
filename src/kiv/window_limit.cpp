#include "kiv/core/window_limit.hpp"

#include "binding/array_argument.hpp"
#include "binding/binder.hpp"
#include "binding/detached.hpp"
#include "kiv/functions.hpp"

namespace kiv {

namespace {

constexpr const char* kPositional[] = {"timestamps"};
constexpr KeywordParameter kKeywordOnly[] = {{"min_window_size", false}, {"max_window_sec", false}};
constexpr ParameterSpec kSpec{"get_max_window_limit", kPositional, kKeywordOnly, nullptr, 0, 1};

}  // namespace

Ref get_max_window_limit_call(FastCallArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[3] = {};
    bind_arguments(kSpec, args, nargs, kwnames, slots);
    std::int64_t limit = 0;
    {
        const auto timestamps = ArrayArgument::extract(slots[0], "timestamps", ElementKind::float64);
        const double min_window_size = float_argument(slots[1], "min_window_size", 1.0);
        const double max_window_sec = float_argument(slots[2], "max_window_sec", 60.0);
        const auto samples = timestamps.float64_slice("timestamps");
        limit = run_detached(samples.size(),
                             [&] { return max_window_limit(samples, min_window_size, max_window_sec); });
    }
    return check(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(limit)));
}

}  // namespace kiv
