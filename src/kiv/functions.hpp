// The bodies of the exported functions, each run inside the entry guard.
#pragma once

#include "binding/py_ref.hpp"
#include "kiv/core/window_sizes.hpp"

namespace kiv {

using FastCallArgs = PyObject* const*;

Ref get_max_window_limit_call(FastCallArgs args, Py_ssize_t nargs, PyObject* kwnames);
Ref calculate_window_sizes_call(FastCallArgs args, Py_ssize_t nargs, PyObject* kwnames);
Ref apply_variable_smoothing_call(FastCallArgs args, Py_ssize_t nargs, PyObject* kwnames);
Ref smooth_call(FastCallArgs args, Py_ssize_t nargs, PyObject* kwnames);
Ref smooth_many_call(FastCallArgs args, Py_ssize_t nargs, PyObject* kwnames);

// The pipeline's five keyword arguments, from min_window_size to
// high_percentile, in their slots (null where not given).
SmoothingParams smoothing_params(PyObject* const* slots);

}  // namespace kiv
