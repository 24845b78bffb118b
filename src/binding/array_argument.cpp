#include "binding/array_argument.hpp"

#include <string>

#include "binding/binder.hpp"
#include "binding/borrow.hpp"
#include "binding/numpy.hpp"

namespace kiv {

namespace {

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

bool has_kind(PyObject* object, ElementKind kind) {
    if (Py_TYPE(object) != &PyArray_Type && !PyType_IsSubtype(Py_TYPE(object), &PyArray_Type)) {
        return false;
    }
    PyArrayObject* array = as_array(object);
    if (PyArray_NDIM(array) != 1) return false;
    Ref expected = Ref::steal(as_object(
        PyArray_DescrFromType(kind == ElementKind::float64 ? NPY_DOUBLE : NPY_LONGLONG)));
    if (!expected) fail("NumPy gave no descriptor for a builtin type");
    auto* descr = reinterpret_cast<PyArray_Descr*>(expected.get());
    return PyArray_DESCR(array) == descr || PyArray_EquivTypes(PyArray_DESCR(array), descr);
}

}  // namespace

ArrayArgument ArrayArgument::extract(PyObject* object, const char* name, ElementKind kind) {
    numpy_api();
    if (!has_kind(object, kind)) {
        PyError error = type_mismatch(object, "ndarray");
        add_argument_note(error, name);
        throw error;
    }
    const SharedBorrowApi& api = borrow_api();
    Ref array = Ref::borrow(object);
    const int status = api.acquire_shared(api.tracker, array.get());
    if (status == -1) fail("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
    if (status != 0) fail("Unexpected return code " + std::to_string(status) + " from borrow checking API");
    return ArrayArgument(std::move(array));
}

ArrayArgument::ArrayArgument(ArrayArgument&& other) noexcept : array_(std::move(other.array_)) {}

ArrayArgument::~ArrayArgument() {
    if (!array_) return;
    const SharedBorrowApi& api = borrow_api();  // resolved before any borrow existed
    api.release_shared(api.tracker, array_.get());
}

std::size_t ArrayArgument::length() const {
    PyArrayObject* array = as_array(array_.get());
    std::size_t n = 1;
    for (int i = 0; i < PyArray_NDIM(array); ++i) n *= static_cast<std::size_t>(PyArray_DIMS(array)[i]);
    return n;
}

const void* ArrayArgument::contiguous_data() const {
    PyArrayObject* array = as_array(array_.get());
    const int flags = PyArray_FLAGS(array);
    const void* data = PyArray_DATA(array);
    const bool ok = (flags & NPY_ARRAY_ALIGNED) != 0 &&
                    (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
    return ok ? data : nullptr;
}

std::span<const double> ArrayArgument::float64_slice(const char* name) const {
    const std::size_t n = length();
    if (n == 0) return {};
    const void* data = contiguous_data();
    if (data == nullptr) {
        throw PyError(PyExc_ValueError, std::string("`") + name + "` must be a contiguous 1-D float64 array");
    }
    return {static_cast<const double*>(data), n};
}

std::span<const std::int64_t> ArrayArgument::int64_slice() const {
    const std::size_t n = length();
    if (n == 0) return {};
    const void* data = contiguous_data();
    if (data == nullptr) throw PyError(PyExc_ValueError, "`window_sizes` must be a contiguous 1-D int64 array");
    return {static_cast<const std::int64_t*>(data), n};
}

}  // namespace kiv
