#include "binding/borrow.hpp"

#include <string>

#include "binding/borrow_registry.hpp"
#include "binding/numpy.hpp"

namespace kiv {

namespace {

// The array whose memory a view uses when its base is no array: an object
// that only passes that memory on (a memoryview's `obj`, the holder that
// as_strided and sliding_window_view put in between, whose `base` is the
// array), followed a few links; null where none is found (bytes, mmap and
// the like cannot resize while their memory is exported).
Ref owner_behind(PyObject* base) {
    Ref link = Ref::borrow(base);
    for (int depth = 0; depth < 8; ++depth) {
        if (is_ndarray(link.get())) {
            PyObject* next = borrow_base(link.get());
            if (is_ndarray(next)) return Ref::borrow(next);
            link = Ref::borrow(next);
        }
        Ref next;
        for (const char* name : {"obj", "base"}) {
            next = Ref::steal(PyObject_GetAttrString(link.get(), name));
            if (next) break;
            PyErr_Clear();
        }
        if (!next || next.get() == Py_None) return {};
        link = std::move(next);
    }
    return {};
}

}  // namespace

PyError changed_error(const char* name) {
    return PyError(PyExc_ValueError,
                   std::string("`") + name + "` was changed in place (dtype, shape or memory) during the call");
}

ArrayBorrow ArrayBorrow::register_read_only(PyObject* object, ElementKind kind, const char* name) {
    PyArrayObject* array = as_array(object);
    ArrayBorrow borrow;
    borrow.base_ = Ref::borrow(borrow_base(object));
    if (!is_ndarray(borrow.base_.get())) borrow.owner_ = owner_behind(borrow.base_.get());
    borrow.kind_ = kind;
    borrow.data_ = PyArray_DATA(array);
    borrow.length_ = PyArray_DIMS(array)[0];
    borrow.stride_ = PyArray_STRIDES(array)[0];
    acquire_shared_borrow(object);
    borrow.array_ = Ref::borrow(object);
    if (!borrow.unchanged()) {
        // Only another module's registry runs Python code while it registers,
        // so the key it took is the array's key now.
        release_shared_borrow(object);
        borrow.array_ = Ref();
        throw changed_error(name);
    }
    return borrow;
}

ArrayBorrow::~ArrayBorrow() noexcept(false) {
    if (!array_ || lock_lost_at_exit()) return;  // the borrow and the references left to the exit
    // kiv's own registry is told the key the borrow was taken with, changed
    // array or not; another module's knows borrows by their arrays only.
    if (release_own_shared_borrow(base_.get(), data_, length_, stride_, item_size(kind_))) return;
    if (unchanged()) {
        release_shared_borrow(array_.get());
    } else {
        release_changed();
    }
}

// Same memory, spacing and base: the registry's key is the one the borrow was
// taken with (a dtype of the same size does not change it). And the memory
// is still the owner's: an owning array resized in place frees what it no
// longer holds, whether its data moved or (shrunk by realloc) stayed.
bool ArrayBorrow::unchanged() const noexcept {
    PyArrayObject* array = as_array(array_.get());
    if (PyArray_NDIM(array) != 1 || PyArray_ITEMSIZE(array) != item_size(kind_)) return false;
    PyObject* base = borrow_base(array_.get());
    if (base != base_.get() || PyArray_DATA(array) != data_ || PyArray_DIMS(array)[0] != length_ ||
        PyArray_STRIDES(array)[0] != stride_) {
        return false;
    }
    // Other owners export their memory as buffers, which they cannot resize while exported.
    PyObject* owner = is_ndarray(base) ? base : owner_.get();
    if (length_ == 0 || owner == nullptr) return true;
    const BorrowRegion used = region_of(data_, length_, stride_, item_size(kind_));
    const auto held = reinterpret_cast<std::uintptr_t>(PyArray_DATA(as_array(owner)));
    return held <= used.start && used.end - held <= static_cast<std::uintptr_t>(PyArray_NBYTES(as_array(owner)));
}

bool ArrayBorrow::intact() const { return unchanged() && has_kind(array_.get(), kind_); }

// The registry would miss the borrow under the array's new key and keep it
// for ever: another module's gets a stand-in array laid out as the argument
// was, over the same base.
void ArrayBorrow::release_changed() const {
    PyObject* pending = PyErr_GetRaisedException();
    npy_intp dims[1] = {length_};
    npy_intp strides[1] = {stride_};
    PyObject* stand_in = nullptr;
    if (PyArray_Descr* descr = PyArray_DescrFromType(type_number(kind_))) {
        stand_in = PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, const_cast<void*>(data_), 0, nullptr);
    }
    if (stand_in != nullptr && PyArray_SetBaseObject(as_array(stand_in), Py_NewRef(base_.get())) == 0) {
        release_shared_borrow(stand_in);
    } else {
        PyErr_WriteUnraisable(array_.get());  // the borrow stays registered
    }
    Py_XDECREF(stand_in);
    PyErr_SetRaisedException(pending);
}

}  // namespace kiv
