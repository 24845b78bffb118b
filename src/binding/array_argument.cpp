#include "binding/array_argument.hpp"

#include <limits>
#include <string>

#include "binding/binder.hpp"
#include "binding/borrow.hpp"
#include "binding/numpy.hpp"

namespace kiv {

namespace {

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

npy_intp item_size(ElementKind kind) {
    return kind == ElementKind::int32 ? sizeof(std::int32_t) : sizeof(double);
}

int type_number(ElementKind kind) {
    switch (kind) {
        case ElementKind::float64: return NPY_DOUBLE;
        case ElementKind::int64: return NPY_LONGLONG;
        case ElementKind::int32: return NPY_INT32;
    }
    return NPY_DOUBLE;
}

const char* kind_name(ElementKind kind) { return kind == ElementKind::float64 ? "float64" : "int64"; }

bool has_kind(PyObject* object, ElementKind kind) {
    if (!is_ndarray(object)) return false;
    PyArrayObject* array = as_array(object);
    if (PyArray_NDIM(array) != 1) return false;
    Ref expected = Ref::steal(as_object(PyArray_DescrFromType(type_number(kind))));
    if (!expected) fail("NumPy gave no descriptor for a builtin type");
    auto* descr = reinterpret_cast<PyArray_Descr*>(expected.get());
    return PyArray_DESCR(array) == descr || PyArray_EquivTypes(PyArray_DESCR(array), descr);
}

bool is_masked_array(PyObject* object);

// What the caller can do about an argument of the wrong type, for its
// TypeError's second note. Only on that error's path, and whatever fails on
// the way is left out (no lookup may report to sys.unraisablehook). The
// dtype is the array's own, not its `dtype` attribute, which a subclass can
// override. A masked array is converted with astype, which keeps its mask:
// np.ascontiguousarray drops it, and the masked entries would count at
// whatever their data holds.
std::string conversion_note(PyObject* object, const char* name, ElementKind kind) {
    const std::string expected = std::string("expected a contiguous 1-D ") + kind_name(kind) + " array";
    const std::string dtype = std::string("np.") + kind_name(kind);
    const std::string arg = name;
    if (!is_ndarray(object)) {
        Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
        const std::string got = type_name ? ", got " + utf8_text(type_name.get()) : std::string();
        PyErr_Clear();
        // pandas' Series, Index and the like, which are no arrays
        const Ref to_numpy = Ref::steal(PyObject_GetAttrString(object, "to_numpy"));
        PyErr_Clear();
        if (to_numpy) return expected + got + "; .to_numpy(dtype=" + dtype + ") converts it";
        return expected + got + "; np.asarray(" + arg + ", dtype=" + dtype + ") converts it";
    }
    PyArrayObject* array = as_array(object);
    const int type = PyArray_TYPE(array);
    std::string got;
    if (Ref text = Ref::steal(PyObject_Str(as_object(PyArray_DESCR(array))))) {
        got = ", got " + utf8_text(text.get()) + " with shape (";
        const int ndim = PyArray_NDIM(array);
        for (int i = 0; i < ndim; ++i) {
            got += std::to_string(PyArray_DIMS(array)[i]);
            got += i + 1 < ndim ? ", " : (ndim == 1 ? "," : "");
        }
        got += ")";
    }
    PyErr_Clear();
    const std::string head = expected + got + "; ";
    const bool masked = is_masked_array(object);
    if ((type == NPY_DATETIME || type == NPY_TIMEDELTA) && kind == ElementKind::float64) {
        return head + "convert times to float64 seconds, e.g. (t - t[0]) / np.timedelta64(1, 's')";
    }
    if (PyArray_NDIM(array) != 1) {
        int long_axes = 0;
        for (int i = 0; i < PyArray_NDIM(array); ++i) long_axes += PyArray_DIMS(array)[i] > 1;
        if (long_axes > 1) {
            return head + "kiv takes one series a call, e.g. " +
                   (masked ? arg + "[0].astype(" + dtype + ")"
                           : "np.ascontiguousarray(" + arg + "[0], dtype=" + dtype + ")");
        }
        return head + "np.ravel(" + arg + ").astype(" + dtype + ") converts it";
    }
    if ((kind != ElementKind::float64 && PyTypeNum_ISINTEGER(type)) || masked) {
        return head + arg + ".astype(" + dtype + ") converts it";
    }
    return head + "np.ascontiguousarray(" + arg + ", dtype=" + dtype + ") converts it";
}

PyError changed_error(const char* name) {
    return PyError(PyExc_ValueError,
                   std::string("`") + name + "` was changed in place (dtype, shape or memory) during the call");
}

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
            Ref core = owned_or_raise(PyImport_ImportModule("numpy.ma.core"));
            Ref type = owned_or_raise(PyObject_GetAttrString(core.get(), "MaskedArray"));
            if (!PyType_Check(type.get()) ||
                !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.get()), &PyArray_Type)) {
                throw type_mismatch(type.get(), "type");
            }
            Ref getmask = owned_or_raise(PyObject_GetAttrString(core.get(), "getmask"));
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

// NumPy's masked arrays are arrays whose data still holds a value under each
// masked entry: read as it is, a masked sample counts at whatever it holds.
// Null unless the object is a masked array with masked entries.
Ref masked_entries_filled(PyObject* object, const char* name, MaskedEntries masked) {
    const MaskedArrays* arrays = masked_arrays();
    if (arrays == nullptr || Py_TYPE(object) == &PyArray_Type ||
        !PyType_IsSubtype(Py_TYPE(object), reinterpret_cast<PyTypeObject*>(arrays->type))) {
        return {};
    }
    Ref mask = owned_or_raise(PyObject_CallFunctionObjArgs(arrays->getmask, object, nullptr));
    Ref masks_any = owned_or_raise(PyObject_CallMethod(mask.get(), "any", nullptr));
    const int any = PyObject_IsTrue(masks_any.get());
    if (any < 0) throw_pending();
    if (any == 0) return {};
    if (masked == MaskedEntries::refused) {
        throw PyError(PyExc_ValueError, std::string("`") + name + "` must not have masked entries");
    }
    return owned_or_raise(PyObject_CallMethod(object, "filled", "d", std::numeric_limits<double>::quiet_NaN()));
}

// Whether the object is a NumPy masked array; false when that cannot be told.
bool is_masked_array(PyObject* object) {
    try {
        const MaskedArrays* arrays = masked_arrays();
        return arrays != nullptr &&
               PyType_IsSubtype(Py_TYPE(object), reinterpret_cast<PyTypeObject*>(arrays->type));
    } catch (PyError&) {
        return false;
    }
}

}  // namespace

ArrayArgument ArrayArgument::extract(PyObject* object, const char* name, ElementKind kind,
                                     MaskedEntries masked) {
    numpy_api();
    if (!has_kind(object, kind)) {
        PyError error = type_mismatch(object, "ndarray");
        add_argument_note(error, name);
        add_note(error.normalized(), conversion_note(object, name, kind));
        throw error;
    }
    Ref filled = masked_entries_filled(object, name, masked);
    // Its first use imports modules, which runs Python code: before the layout is taken.
    resolve_borrow_registry();
    if (!has_kind(object, kind)) throw changed_error(name);
    Borrow argument = Borrow::take(object, kind, name);
    if (!filled) return ArrayArgument(kind, std::move(argument), Borrow());
    // What kiv reads, borrowed as the argument is. filled() is Python code (a
    // subclass's, say): its result need not even be an array.
    PyArrayObject* samples = as_array(filled.get());
    if (!has_kind(filled.get(), ElementKind::float64) || PyArray_DIMS(samples)[0] != argument.length() ||
        !PyArray_CHKFLAGS(samples, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)) {
        throw PyError(PyExc_TypeError, std::string("`") + name + "` is a masked array whose filled() gives "
                                                                 "no contiguous 1-D float64 array of its length");
    }
    return ArrayArgument(kind, std::move(argument), Borrow::take(filled.get(), ElementKind::float64, name));
}

bool ArrayArgument::holds(PyObject* object, ElementKind kind) {
    numpy_api();
    return has_kind(object, kind);
}

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

ArrayArgument::Borrow ArrayArgument::Borrow::take(PyObject* object, ElementKind kind, const char* name) {
    PyArrayObject* array = as_array(object);
    Borrow borrow;
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

ArrayArgument::Borrow::~Borrow() noexcept(false) {
    if (!array_ || lock_lost_at_exit()) return;  // the borrow and the references left to the exit
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
bool ArrayArgument::Borrow::unchanged() const noexcept {
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

bool ArrayArgument::Borrow::intact() const { return unchanged() && has_kind(array_.get(), kind_); }

// The registry would miss the borrow under the array's new key and keep it
// for ever. kiv's own registry is told the old key; another module's gets a
// stand-in array laid out as the argument was, over the same base.
void ArrayArgument::Borrow::release_changed() const {
    if (release_own_shared_borrow(base_.get(), data_, length_, stride_, item_size(kind_))) return;
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

const void* ArrayArgument::contiguous_data(const char* name) const {
    if (!argument_.intact() || (filled_.array() != nullptr && !filled_.intact())) throw changed_error(name);
    if (argument_.length() == 0) return nullptr;
    const int flags = PyArray_FLAGS(as_array(argument_.array()));
    if ((flags & NPY_ARRAY_ALIGNED) != 0 && (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0 &&
        argument_.data() != nullptr) {
        return filled_.array() != nullptr ? filled_.data() : argument_.data();
    }
    throw PyError(PyExc_ValueError,
                  std::string("`") + name + "` must be a contiguous 1-D " + kind_name(kind_) + " array");
}

}  // namespace kiv
