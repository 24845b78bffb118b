#include "binding/array_argument.hpp"

#include <string>

#include "binding/binder.hpp"
#include "binding/borrow.hpp"
#include "binding/numpy.hpp"

namespace kiv {

namespace {

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

// Both element kinds are eight bytes wide.
constexpr npy_intp kItemSize = sizeof(double);
static_assert(sizeof(std::int64_t) == kItemSize);

int type_number(ElementKind kind) { return kind == ElementKind::float64 ? NPY_DOUBLE : NPY_LONGLONG; }

bool has_kind(PyObject* object, ElementKind kind) {
    if (Py_TYPE(object) != &PyArray_Type && !PyType_IsSubtype(Py_TYPE(object), &PyArray_Type)) {
        return false;
    }
    PyArrayObject* array = as_array(object);
    if (PyArray_NDIM(array) != 1) return false;
    Ref expected = Ref::steal(as_object(PyArray_DescrFromType(type_number(kind))));
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
    PyArrayObject* array = as_array(object);
    const Layout layout{PyArray_DATA(array), PyArray_DIMS(array)[0], PyArray_STRIDES(array)[0]};
    acquire_shared_borrow(object);
    return ArrayArgument(Ref::borrow(object), kind, layout);
}

ArrayArgument::ArrayArgument(ArrayArgument&& other) noexcept
    : array_(std::move(other.array_)), kind_(other.kind_), layout_(other.layout_) {}

ArrayArgument::~ArrayArgument() {
    if (!array_) return;
    if (same_memory()) {
        release_shared_borrow(array_.get());
    } else {
        release_changed();
    }
}

// Same memory and element spacing: then the registry's key is the one the
// borrow was taken with (a dtype of the same size does not change it).
bool ArrayArgument::same_memory() const noexcept {
    PyArrayObject* array = as_array(array_.get());
    return PyArray_NDIM(array) == 1 && PyArray_DATA(array) == layout_.data &&
           PyArray_DIMS(array)[0] == layout_.length && PyArray_STRIDES(array)[0] == layout_.stride &&
           PyArray_ITEMSIZE(array) == kItemSize;
}

// The registry keys a borrow by the array's memory as it is when released;
// after a change it would miss the borrow and keep it for ever. A stand-in
// over the first base, laid out as the array was, carries the same key.
void ArrayArgument::release_changed() const noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    npy_intp dims[1] = {layout_.length};
    npy_intp strides[1] = {layout_.stride};
    PyObject* stand_in = nullptr;
    if (PyArray_Descr* descr = PyArray_DescrFromType(type_number(kind_))) {
        stand_in = PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides,
                                        const_cast<void*>(layout_.data), 0, nullptr);
    }
    if (stand_in != nullptr &&
        PyArray_SetBaseObject(as_array(stand_in), Py_NewRef(array_.get())) == 0) {
        release_shared_borrow(stand_in);
    } else {
        PyErr_WriteUnraisable(array_.get());
    }
    Py_XDECREF(stand_in);
    PyErr_SetRaisedException(pending);
}

const void* ArrayArgument::contiguous_data(const char* name) const {
    if (!same_memory() || !has_kind(array_.get(), kind_)) {
        throw PyError(PyExc_ValueError,
                      std::string("`") + name + "` was changed in place (dtype, shape or memory) during the call");
    }
    if (layout_.length == 0) return nullptr;
    const int flags = PyArray_FLAGS(as_array(array_.get()));
    const bool ok = (flags & NPY_ARRAY_ALIGNED) != 0 &&
                    (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0 && layout_.data != nullptr;
    if (ok) return layout_.data;
    const char* kind = kind_ == ElementKind::float64 ? "float64" : "int64";
    throw PyError(PyExc_ValueError, std::string("`") + name + "` must be a contiguous 1-D " + kind + " array");
}

std::span<const double> ArrayArgument::float64_slice(const char* name) const {
    const void* data = contiguous_data(name);
    if (data == nullptr) return {};
    return {static_cast<const double*>(data), static_cast<std::size_t>(layout_.length)};
}

std::span<const std::int64_t> ArrayArgument::int64_slice(const char* name) const {
    const void* data = contiguous_data(name);
    if (data == nullptr) return {};
    return {static_cast<const std::int64_t*>(data), static_cast<std::size_t>(layout_.length)};
}

}  // namespace kiv
