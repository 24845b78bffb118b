#include "kiv/core/fleet.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "binding/array_argument.hpp"
#include "binding/binder.hpp"
#include "binding/detached.hpp"
#include "binding/numpy.hpp"
#include "binding/result_array.hpp"
#include "kiv/functions.hpp"
#include "kiv/smoothing_keywords.hpp"

namespace kiv {

namespace {

constexpr Signature<2, 8> kSignature{
    "smooth_many",
    "smooth_many(values, timestamps, *, offsets=None, groups=None, min_window_size=..., max_window_sec=..., "
    "window_smooth_width_size=..., low_percentile=..., high_percentile=..., workers=1)\n--\n\n"
    "Full KIV smoothing of many series in one call",
    {"values", "timestamps"},
    {"offsets", "groups", keyword::min_window_size, keyword::max_window_sec, keyword::window_smooth_width_size,
     keyword::low_percentile, keyword::high_percentile, "workers"}};

bool given(PyObject* slot) { return slot != nullptr && slot != Py_None; }

// Checked here, unlike smooth(), which fails inside on a percentile above 100.
void check_percentile(double p, PyObject* slot, const char* name) {
    if (p >= 0.0 && p <= 100.0) return;
    throw PyError(PyExc_ValueError, std::string("`") + name + "` must be between 0 and 100, not " +
                                        object_repr(slot));
}

// os.cpu_count(), or 1 when it cannot tell.
std::int64_t cpu_count() {
    Ref os = owned_or_pending_error(PyImport_ImportModule("os"));
    Ref count = owned_or_pending_error(PyObject_CallMethod(os.get(), "cpu_count", nullptr));
    if (count.get() == Py_None) return 1;
    const long long value = PyLong_AsLongLong(count.get());
    if (value == -1 && PyErr_Occurred()) throw_pending();
    return value < 1 ? 1 : value;
}

// As scipy.fft counts them: k threads at most, or, counted back from
// os.cpu_count(), -1 for every CPU; None is 1.
std::size_t worker_count(PyObject* slot) {
    const std::int64_t workers = i64_argument(slot == Py_None ? nullptr : slot, "workers", 1);
    if (workers > 0) return static_cast<std::size_t>(workers);
    if (workers == 0) throw PyError(PyExc_ValueError, "`workers` must not be 0");
    const std::int64_t cpus = cpu_count();
    if (workers < -cpus) {
        throw PyError(PyExc_ValueError, "`workers` is " + std::to_string(workers) + ", below -" +
                                            std::to_string(cpus) + " (-1 is all " + std::to_string(cpus) +
                                            " CPUs)");
    }
    return static_cast<std::size_t>(cpus + 1 + workers);
}

// Series g is offsets[g]:offsets[g + 1]; the first bad entry is named.
void check_offsets(std::span<const std::int64_t> offsets, std::size_t n) {
    const auto bad = [](std::size_t k, const std::string& why) {
        return PyError(PyExc_ValueError, "`offsets[" + std::to_string(k) + "]` " + why);
    };
    if (offsets.empty()) {
        throw PyError(PyExc_ValueError, "`offsets` must hold at least one entry: 0, then where each series ends");
    }
    if (offsets[0] != 0) throw bad(0, "is " + std::to_string(offsets[0]) + ", not 0");
    for (std::size_t k = 1; k < offsets.size(); ++k) {
        if (offsets[k] < offsets[k - 1]) {
            throw bad(k, "is " + std::to_string(offsets[k]) + ", below `offsets[" + std::to_string(k - 1) +
                             "]` (" + std::to_string(offsets[k - 1]) + "): offsets never decrease");
        }
        if (static_cast<std::uint64_t>(offsets[k]) > n) {
            throw bad(k, "is " + std::to_string(offsets[k]) + ", beyond the " + std::to_string(n) + " samples");
        }
    }
    if (static_cast<std::uint64_t>(offsets.back()) != n) {
        throw bad(offsets.size() - 1, "is " + std::to_string(offsets.back()) + ", not " + std::to_string(n) +
                                          ": the last offset is the number of samples");
    }
}

// The offsets this call uses: the caller's G + 1 entries copied while the
// interpreter lock is held, then checked, and only the copy read after.
// The work reads each boundary several times (planning, each series' end
// and the next one's start) with the lock released, when another thread
// may move it: rows between two readings would be left unwritten. int32
// offsets (an Arrow list array's) are widened as they are copied.
template <class Entry>
OwnedBuffer<std::int64_t> copied_offsets(std::span<const Entry> offsets, std::size_t n) {
    OwnedBuffer<std::int64_t> starts(offsets.size());
    std::copy(offsets.begin(), offsets.end(), starts.data());
    check_offsets({starts.data(), starts.size()}, n);
    return starts;
}

struct Outcome {
    OwnedBuffer<double> smoothed;
    std::optional<NanTimestamp> nan;
    std::int64_t nan_label = 0;
};

Ref smooth_many_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto bound = bind(kSignature, args, nargs, kwnames);
    PyObject* const offsets = bound[kSignature.slot("offsets")];
    PyObject* const groups = bound[kSignature.slot("groups")];
    if (given(offsets) == given(groups)) {
        throw PyError(PyExc_TypeError, "smooth_many() takes exactly one of `offsets` and `groups`");
    }
    const bool by_groups = given(groups);
    const auto values = ArrayArgument::extract(bound[kSignature.slot("values")], "values", ElementKind::float64,
                                               MaskedEntries::missing);
    const auto timestamps =
        ArrayArgument::extract(bound[kSignature.slot("timestamps")], "timestamps", ElementKind::float64);
    const char* layout_name = by_groups ? "groups" : "offsets";
    PyObject* const layout_object = by_groups ? groups : offsets;
    // Labels are int64 only: offsets may be int32 too, borrowed as they are.
    const ElementKind layout_kind = !by_groups && ArrayArgument::holds(layout_object, ElementKind::int32)
                                        ? ElementKind::int32
                                        : ElementKind::int64;
    const auto layout = ArrayArgument::extract(layout_object, layout_name, layout_kind);
    const SmoothingParams params = smoothing_params<kSignature>(bound);
    check_percentile(params.low_percentile, bound[kSignature.slot(keyword::low_percentile)], keyword::low_percentile);
    check_percentile(params.high_percentile, bound[kSignature.slot(keyword::high_percentile)],
                     keyword::high_percentile);
    const std::size_t workers = worker_count(bound[kSignature.slot("workers")]);

    const auto value_samples = values.float64_slice("values");
    const auto time_samples = timestamps.float64_slice("timestamps");
    // Labels are read in place: the grouping reads each once (group_fleet).
    // Offsets are copied (copied_offsets).
    const auto entries = layout_kind == ElementKind::int64 ? layout.int64_slice(layout_name)
                                                           : std::span<const std::int64_t>();
    const auto narrow_entries = layout_kind == ElementKind::int32 ? layout.int32_slice(layout_name)
                                                                  : std::span<const std::int32_t>();
    const std::size_t n = value_samples.size();
    if (time_samples.size() != n) {
        throw PyError(PyExc_ValueError, "`values` and `timestamps` must have the same length");
    }
    if (by_groups && entries.size() != n) {
        throw PyError(PyExc_ValueError, "`values` and `groups` must have the same length");
    }
    OwnedBuffer<std::int64_t> starts;
    if (!by_groups) {
        starts = layout_kind == ElementKind::int32 ? copied_offsets(narrow_entries, n) : copied_offsets(entries, n);
    }

    Outcome outcome = run_detached(n, [&] {
        Outcome done;
        done.smoothed = OwnedBuffer<double>(n);
        if (by_groups) {
            GroupedFleet grouped = group_fleet(value_samples, time_samples, entries, workers);
            done.nan = first_nan_timestamp(grouped);
            // Read again for the message only: a label of that series, unless
            // another thread has rewritten it since.
            if (done.nan) {
                done.nan_label = entries[done.nan->row];
            } else {
                smooth_fleet(grouped, params, workers, done.smoothed.data());
            }
            return done;
        }
        // kiv's own copy, checked above: from 0 to n, never decreasing.
        const Fleet fleet{value_samples, time_samples,
                          {reinterpret_cast<const std::uint64_t*>(starts.data()), starts.size()}};
        done.nan = first_nan_timestamp(fleet);
        if (!done.nan) smooth_fleet(fleet, params, workers, done.smoothed.data());
        return done;
    });
    if (outcome.nan) {
        const std::string series = by_groups ? "the series of group " + std::to_string(outcome.nan_label)
                                             : "series " + std::to_string(outcome.nan->series);
        throw PyError(PyExc_ValueError, "`timestamps` must not be NaN in a series of two or more samples: " +
                                            series + " has NaN at row " + std::to_string(outcome.nan->row));
    }
    return hand_over(std::move(outcome.smoothed));
}

}  // namespace

PyMethodDef smooth_many_method = method_def<smooth_many_call, kSignature>();

}  // namespace kiv
