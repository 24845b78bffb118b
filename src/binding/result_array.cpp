#include "binding/result_array.hpp"

#include "binding/errors.hpp"
#include "binding/lazy.hpp"
#include "binding/numpy.hpp"
#include "kiv/core/matched_texts.hpp"

namespace kiv {

namespace {

using ReleaseFunction = void (*)(void*, std::size_t, std::size_t);

struct SliceContainer {
    PyObject_HEAD
    ReleaseFunction release;
    void* data;
    std::uint64_t length;
    std::uint64_t capacity;
};

void dealloc_container(PyObject* self) {
    Ref keep_base = Ref::borrow(as_object(&PyBaseObject_Type));
    Ref reported = Ref::steal(guarded([&] {
        auto* container = reinterpret_cast<SliceContainer*>(self);
        container->release(container->data, container->length, container->capacity);
        PyTypeObject* type = Py_TYPE(self);
        auto tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        if (tp_free == nullptr) fail("PyBaseObject_Type should have tp_free");
        tp_free(self);
        Py_DECREF(as_object(type));
        return Ref::borrow(Py_None);
    }));
    if (!reported) PyErr_WriteUnraisable(nullptr);
}

PyType_Slot container_slots[] = {
    {Py_tp_doc, const_cast<char*>("A utility type that safely stores an owned buffer on the Python heap.")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_container)},
    {0, nullptr},
};

PyType_Spec container_spec = {
    matched::kContainerType,
    static_cast<int>(sizeof(SliceContainer)),
    0,
    Py_TPFLAGS_DISALLOW_INSTANTIATION,
    container_slots,
};

Lazy<PyTypeObject*> container_type_cell;

PyTypeObject* container_type() {
    return container_type_cell.get([] {
        PyObject* type = PyType_FromSpec(&container_spec);
        if (type == nullptr) {
            PyError error = PyError::fetch();
            error.rethrow_memory_error();
            error.restore();
            PyObject* cause = PyErr_GetRaisedException();
            PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class PySliceContainer");
            PyObject* wrapper = PyErr_GetRaisedException();
            PyException_SetCause(wrapper, cause);  // steals cause
            PyErr_SetRaisedException(wrapper);
            PyErr_WriteUnraisable(nullptr);
            fail("failed to create type object for `PySliceContainer`");
        }
        return reinterpret_cast<PyTypeObject*>(type);
    });
}

// The buffer passes to the container once the container exists; until then
// it stays with the caller, whose buffer frees it on every failure.
template <class T>
Ref make_container(OwnedBuffer<T>& buffer) {
    PyTypeObject* type = container_type();
    auto tp_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref container = no_args ? Ref::steal(tp_new(type, no_args.get(), nullptr)) : Ref();
    no_args = Ref();
    if (!container) {
        PyError error = PyError::fetch();
        fail_with("Failed to create slice container", error);
    }
    const auto raw = buffer.release();
    auto* fields = reinterpret_cast<SliceContainer*>(container.get());
    fields->release = release_buffer;
    fields->data = raw.data;
    fields->length = raw.size;
    fields->capacity = raw.capacity;
    return container;
}

template <class T>
Ref hand_over_as(OwnedBuffer<T>&& buffer, int type_number) {
    T* const data = buffer.data();
    const std::size_t length = buffer.size();
    Ref container = make_container(buffer);
    numpy_api();
    PyArray_Descr* descr = PyArray_DescrFromType(type_number);
    if (descr == nullptr) owned_or_fail(nullptr);
    npy_intp dims[1] = {static_cast<npy_intp>(length)};
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(T))};
    // On failure the container goes with its Ref, and the buffer with it.
    Ref array = owned_or_fail(
        PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, data, NPY_ARRAY_WRITEABLE, nullptr));
    PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release());
    return array;
}

}  // namespace

Ref hand_over(OwnedBuffer<double>&& buffer) { return hand_over_as(std::move(buffer), NPY_DOUBLE); }
Ref hand_over(OwnedBuffer<std::uint8_t>&& buffer) { return hand_over_as(std::move(buffer), NPY_UBYTE); }

}  // namespace kiv
