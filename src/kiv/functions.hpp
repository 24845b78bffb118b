// The exported functions' method definitions, each beside its wrapper.
#pragma once

#include "binding/python.hpp"

namespace kiv {

extern PyMethodDef smooth_method;
extern PyMethodDef smooth_many_method;
extern PyMethodDef get_max_window_limit_method;
extern PyMethodDef calculate_window_sizes_method;
extern PyMethodDef apply_variable_smoothing_method;

}  // namespace kiv
