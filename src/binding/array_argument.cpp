#include "binding/array_argument.hpp"

#include <array>
#include <string>

#include "binding/binder.hpp"
#include "binding/borrow_registry.hpp"
#include "binding/lazy.hpp"
#include "binding/masked_arrays.hpp"
#include "binding/numpy.hpp"

namespace kiv {

namespace {

// NumPy's builtin descriptors, which live as long as NumPy: most arrays
// point at them, and a pointer comparison settles those.
Lazy<std::array<PyArray_Descr*, 3>> builtin_descriptors_cell;

PyArray_Descr* builtin_descriptor(ElementKind kind) {
    const auto& descriptors = builtin_descriptors_cell.get([] {
        std::array<PyArray_Descr*, 3> made{};
        for (const ElementKind k : {ElementKind::float64, ElementKind::int64, ElementKind::int32}) {
            Ref descr = Ref::steal(as_object(PyArray_DescrFromType(type_number(k))));
            if (!descr) fail("NumPy gave no descriptor for a builtin type");
            made[static_cast<std::size_t>(k)] = reinterpret_cast<PyArray_Descr*>(descr.release());
        }
        return made;
    });
    return descriptors[static_cast<std::size_t>(kind)];
}

}  // namespace

bool has_kind(PyObject* object, ElementKind kind) {
    if (!is_ndarray(object)) return false;
    PyArrayObject* array = as_array(object);
    if (PyArray_NDIM(array) != 1) return false;
    PyArray_Descr* descr = builtin_descriptor(kind);
    return PyArray_DESCR(array) == descr || PyArray_EquivTypes(PyArray_DESCR(array), descr);
}

namespace {

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
    ArrayBorrow argument = ArrayBorrow::register_read_only(object, kind, name);
    if (!filled) return ArrayArgument(kind, std::move(argument), ArrayBorrow());
    // What kiv reads, borrowed as the argument is. filled() is Python code (a
    // subclass's, say): its result need not even be an array.
    PyArrayObject* samples = as_array(filled.get());
    if (!has_kind(filled.get(), ElementKind::float64) || PyArray_DIMS(samples)[0] != argument.length() ||
        !PyArray_CHKFLAGS(samples, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)) {
        throw PyError(PyExc_TypeError, std::string("`") + name + "` is a masked array whose filled() gives "
                                                                 "no contiguous 1-D float64 array of its length");
    }
    return ArrayArgument(kind, std::move(argument),
                         ArrayBorrow::register_read_only(filled.get(), ElementKind::float64, name));
}

bool ArrayArgument::holds(PyObject* object, ElementKind kind) {
    numpy_api();
    return has_kind(object, kind);
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
