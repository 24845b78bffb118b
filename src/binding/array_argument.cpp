#include "binding/array_argument.hpp"

#include <limits>
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
    if (!is_ndarray(object)) return false;
    PyArrayObject* array = as_array(object);
    if (PyArray_NDIM(array) != 1) return false;
    Ref expected = Ref::steal(as_object(PyArray_DescrFromType(type_number(kind))));
    if (!expected) fail("NumPy gave no descriptor for a builtin type");
    auto* descr = reinterpret_cast<PyArray_Descr*>(expected.get());
    return PyArray_DESCR(array) == descr || PyArray_EquivTypes(PyArray_DESCR(array), descr);
}

PyError changed_error(const char* name) {
    return PyError(PyExc_ValueError,
                   std::string("`") + name + "` was changed in place (dtype, shape or memory) during the call");
}

Lazy<PyObject*> masked_module_name;

// NumPy's masked arrays are arrays whose data still holds a value under each
// masked entry: read as it is, a masked sample counts at whatever it holds.
// Null unless the object is a masked array with masked entries, which it
// is only once numpy.ma has been imported.
Ref masked_entries_filled(PyObject* object, const char* name, MaskedEntries masked) {
    if (Py_TYPE(object) == &PyArray_Type) return {};
    Ref ma = Ref::steal(PyImport_GetModule(interned(masked_module_name, "numpy.ma")));
    if (!ma) {
        if (PyErr_Occurred()) throw_pending();
        return {};
    }
    Ref masked_array = owned_or_raise(PyObject_GetAttrString(ma.get(), "MaskedArray"));
    const int is_masked = PyObject_IsInstance(object, masked_array.get());
    if (is_masked < 0) throw_pending();
    if (is_masked == 0) return {};
    Ref count = owned_or_raise(PyObject_CallMethod(ma.get(), "count_masked", "O", object));
    const int any = PyObject_IsTrue(count.get());
    if (any < 0) throw_pending();
    if (any == 0) return {};
    if (masked == MaskedEntries::refused) {
        throw PyError(PyExc_ValueError, std::string("`") + name + "` must not have masked entries");
    }
    // Python code (a subclass's, say): checked where it is read.
    return owned_or_raise(PyObject_CallMethod(object, "filled", "d", std::numeric_limits<double>::quiet_NaN()));
}

}  // namespace

ArrayArgument ArrayArgument::extract(PyObject* object, const char* name, ElementKind kind,
                                     MaskedEntries masked) {
    numpy_api();
    if (!has_kind(object, kind)) {
        PyError error = type_mismatch(object, "ndarray");
        add_argument_note(error, name);
        throw error;
    }
    Ref filled = masked_entries_filled(object, name, masked);
    // Its first use imports modules, which runs Python code: before the layout is taken.
    resolve_borrow_registry();
    if (!has_kind(object, kind)) throw changed_error(name);
    Ref base = Ref::borrow(borrow_base(object));
    const Layout layout = layout_of(object);
    acquire_shared_borrow(object);
    ArrayArgument argument(Ref::borrow(object), std::move(base), std::move(filled), kind, layout);
    if (!argument.unchanged()) {
        // Only another module's registry runs Python code while it registers,
        // so the key it took is the array's key now.
        release_shared_borrow(argument.array_.get());
        argument.array_ = Ref();
        throw changed_error(name);
    }
    return argument;
}

ArrayArgument::Layout ArrayArgument::layout_of(PyObject* object) {
    PyArrayObject* array = as_array(object);
    return {PyArray_DATA(array), PyArray_DIMS(array)[0], PyArray_STRIDES(array)[0]};
}

ArrayArgument::~ArrayArgument() {
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
bool ArrayArgument::unchanged() const noexcept {
    PyArrayObject* array = as_array(array_.get());
    if (PyArray_NDIM(array) != 1 || PyArray_ITEMSIZE(array) != kItemSize) return false;
    PyObject* base = borrow_base(array_.get());
    const Layout now = layout_of(array_.get());
    if (base != base_.get() || now.data != layout_.data || now.length != layout_.length ||
        now.stride != layout_.stride) {
        return false;
    }
    // Other owners export their memory as buffers, which they cannot resize while exported.
    if (now.length == 0 || !is_ndarray(base)) return true;
    const BorrowRegion used = region_of(now.data, now.length, now.stride);
    const auto held = reinterpret_cast<std::uintptr_t>(PyArray_DATA(as_array(base)));
    return held <= used.start && used.end - held <= static_cast<std::uintptr_t>(PyArray_NBYTES(as_array(base)));
}

// The registry would miss the borrow under the array's new key and keep it
// for ever. kiv's own registry is told the old key; another module's gets a
// stand-in array laid out as the argument was, over the same base.
void ArrayArgument::release_changed() const noexcept {
    if (release_own_shared_borrow(base_.get(), layout_.data, layout_.length, layout_.stride)) return;
    PyObject* pending = PyErr_GetRaisedException();
    npy_intp dims[1] = {layout_.length};
    npy_intp strides[1] = {layout_.stride};
    PyObject* stand_in = nullptr;
    if (PyArray_Descr* descr = PyArray_DescrFromType(type_number(kind_))) {
        stand_in = PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides,
                                        const_cast<void*>(layout_.data), 0, nullptr);
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
    if (!unchanged() || !has_kind(array_.get(), kind_)) throw changed_error(name);
    if (layout_.length == 0) return nullptr;
    const int flags = PyArray_FLAGS(as_array(array_.get()));
    const bool ok = (flags & NPY_ARRAY_ALIGNED) != 0 &&
                    (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0 && layout_.data != nullptr;
    if (ok && filled_) {
        // filled() is Python code: its result need not be as long as the array.
        PyArrayObject* filled = as_array(filled_.get());
        if (!has_kind(filled_.get(), ElementKind::float64) || PyArray_DIMS(filled)[0] != layout_.length ||
            !PyArray_CHKFLAGS(filled, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)) {
            throw PyError(PyExc_TypeError, std::string("`") + name + "` is a masked array whose filled() gives "
                                                                     "no contiguous 1-D float64 array of its length");
        }
        return PyArray_DATA(filled);
    }
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
