// The element types that kiv reads from arrays, and what NumPy calls them.
#pragma once

#include <cstdint>

#include "binding/numpy.hpp"

namespace kiv {

// int32 only where int64 is expected and an Arrow list array's offsets are
// taken as they are: its errors name int64.
enum class ElementKind { float64, int64, int32 };

inline npy_intp item_size(ElementKind kind) {
    return kind == ElementKind::int32 ? sizeof(std::int32_t) : sizeof(double);
}

inline int type_number(ElementKind kind) {
    switch (kind) {
        case ElementKind::float64: return NPY_DOUBLE;
        case ElementKind::int64: return NPY_LONGLONG;
        case ElementKind::int32: return NPY_INT32;
    }
    return NPY_DOUBLE;
}

inline const char* kind_name(ElementKind kind) { return kind == ElementKind::float64 ? "float64" : "int64"; }

// A 1-D NumPy array (a subclass's too) of that kind; NumPy's table must be
// resolved.
bool has_kind(PyObject* object, ElementKind kind);

}  // namespace kiv
