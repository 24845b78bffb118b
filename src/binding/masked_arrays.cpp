#include "binding/masked_arrays.hpp"

#include <limits>
#include <string>

#include "binding/lazy.hpp"
#include "binding/numpy.hpp"

namespace kiv {

namespace {

struct MaskedArrays {
    PyObject* type;     // numpy.ma.MaskedArray
    PyObject* getmask;  // numpy.ma.getmask
};

Lazy<MaskedArrays> masked_arrays_cell;

// NumPy's masked arrays, known by their type. It is found once, on kiv's
// first array argument, through the import system (numpy.ma.core, where
// NumPy 1 and 2 define it) and kept for the life of the process, so that
// what becomes of sys.modules later (a test harness, the teardown) cannot
// hide it. Null while numpy.ma.core cannot be imported or holds no such type:
// masked arrays are then read as plain ones, and the next argument tries
// again.
const MaskedArrays* masked_arrays() {
    try {
        return &masked_arrays_cell.get([] {
            Ref core = owned_or_pending_error(PyImport_ImportModule("numpy.ma.core"));
            Ref type = owned_or_pending_error(PyObject_GetAttrString(core.get(), "MaskedArray"));
            if (!PyType_Check(type.get()) ||
                !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.get()), &PyArray_Type)) {
                throw type_mismatch(type.get(), "type");
            }
            Ref getmask = owned_or_pending_error(PyObject_GetAttrString(core.get(), "getmask"));
            return MaskedArrays{type.release(), getmask.release()};
        });
    } catch (PyError& error) {
        PyObject* exception = error.normalized();
        if (!PyErr_GivenExceptionMatches(exception, PyExc_ImportError) &&
            !PyErr_GivenExceptionMatches(exception, PyExc_AttributeError) &&
            !PyErr_GivenExceptionMatches(exception, PyExc_TypeError)) {
            throw;  // out of memory, or called again from within the set-up
        }
        return nullptr;
    }
}

}  // namespace

Ref masked_entries_filled(PyObject* object, const char* name, MaskedEntries masked) {
    const MaskedArrays* arrays = masked_arrays();
    if (arrays == nullptr || Py_TYPE(object) == &PyArray_Type ||
        !PyType_IsSubtype(Py_TYPE(object), reinterpret_cast<PyTypeObject*>(arrays->type))) {
        return {};
    }
    Ref mask = owned_or_pending_error(PyObject_CallFunctionObjArgs(arrays->getmask, object, nullptr));
    Ref masks_any = owned_or_pending_error(PyObject_CallMethod(mask.get(), "any", nullptr));
    const int any = PyObject_IsTrue(masks_any.get());
    if (any < 0) throw_pending();
    if (any == 0) return {};
    if (masked == MaskedEntries::refused) {
        throw PyError(PyExc_ValueError, std::string("`") + name + "` must not have masked entries");
    }
    return owned_or_pending_error(PyObject_CallMethod(object, "filled", "d", std::numeric_limits<double>::quiet_NaN()));
}

bool is_masked_array(PyObject* object) {
    try {
        const MaskedArrays* arrays = masked_arrays();
        return arrays != nullptr &&
               PyType_IsSubtype(Py_TYPE(object), reinterpret_cast<PyTypeObject*>(arrays->type));
    } catch (PyError&) {
        return false;
    }
}

}  // namespace kiv
