// The bodies of the four exported functions, each run inside the entry guard.
#pragma once

#include "binding/py_ref.hpp"

namespace kiv {

using FastCallArgs = PyObject* const*;

Ref get_max_window_limit_call(FastCallArgs args, Py_ssize_t nargs, PyObject* kwnames);
Ref calculate_window_sizes_call(FastCallArgs args, Py_ssize_t nargs, PyObject* kwnames);
Ref apply_variable_smoothing_call(FastCallArgs args, Py_ssize_t nargs, PyObject* kwnames);
Ref smooth_call(FastCallArgs args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kiv
