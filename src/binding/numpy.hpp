// NumPy's C headers, configured for a table taken from NumPy's capsule at run
// time (never import_array) and for every NumPy from 1.15 on.
#pragma once

#include "binding/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL kiv_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_15_API_VERSION
#ifndef KIV_NUMPY_API_DEFINITION
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>

#include <string>

namespace kiv {

// The C-API table; an internal failure "Failed to access NumPy array API
// capsule: ..." when NumPy is missing or unusable.
void** numpy_api();

// "numpy._core.multiarray" or "numpy.core.multiarray"; throws PyError.
const std::string& multiarray_module_name();

// A NumPy array, or an instance of a subclass; the table must be resolved.
inline bool is_ndarray(PyObject* object) {
    return Py_TYPE(object) == &PyArray_Type || PyType_IsSubtype(Py_TYPE(object), &PyArray_Type);
}

inline PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

}  // namespace kiv
