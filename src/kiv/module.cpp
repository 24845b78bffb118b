// The module object: its definition, the execution step that fills it, and
// the entry points of the functions.
#include <string>

#include "binding/errors.hpp"
#include "binding/lazy.hpp"
#include "binding/binder.hpp"
#include "kiv/core/kernels.hpp"
#include "kiv/functions.hpp"

namespace kiv {

namespace {

Lazy<PyObject*> name_attribute;
Lazy<PyObject*> all_attribute;

// Not noexcept: a thread that CPython ends at exit unwinds through here.
template <Ref (*Body)(FastCallArgs, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return Body(args, nargs, kwnames); });
}

template <Ref (*Body)(FastCallArgs, Py_ssize_t, PyObject*)>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Body>));
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef smooth_def = {
    "smooth", as_method<smooth_call>(), kFlags,
    "smooth(values, timestamps, *, min_window_size=..., max_window_sec=..., window_smooth_width_size=..., "
    "low_percentile=..., high_percentile=...)\n--\n\nFull KIV smoothing"};
PyMethodDef smooth_many_def = {
    "smooth_many", as_method<smooth_many_call>(), kFlags,
    "smooth_many(values, timestamps, *, offsets=None, groups=None, min_window_size=..., max_window_sec=..., "
    "window_smooth_width_size=..., low_percentile=..., high_percentile=..., workers=1)\n--\n\n"
    "Full KIV smoothing of many series in one call"};
PyMethodDef get_max_window_limit_def = {
    "get_max_window_limit", as_method<get_max_window_limit_call>(), kFlags,
    "get_max_window_limit(timestamps, *, min_window_size=..., max_window_sec=...)\n--\n\n"
    "Maximum window size derived from the sampling rate."};
PyMethodDef calculate_window_sizes_def = {
    "calculate_window_sizes", as_method<calculate_window_sizes_call>(), kFlags,
    "calculate_window_sizes(values, max_window_size, *, min_window_size=..., window_smooth_width_size=..., "
    "low_percentile=..., high_percentile=...)\n--\n\nPer-sample odd window sizes based on signal variability"};
PyMethodDef apply_variable_smoothing_def = {
    "apply_variable_smoothing", as_method<apply_variable_smoothing_call>(), kFlags,
    "apply_variable_smoothing(values, window_sizes)\n--\n\n"
    "Apply the per-sample variable-width centered rolling mean"};

// Adds an attribute and lists its name in __all__.
void add_attribute(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttr(module, interned(all_attribute, "__all__")));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        all = check(PyList_New(0));
        if (PyObject_SetAttr(module, interned(all_attribute, "__all__"), all.get()) < 0) throw_pending();
    }
    if (!PyList_Check(all.get())) throw type_mismatch(all.get(), "list");
    if (PyList_Append(all.get(), name) < 0) {
        PyError error = PyError::fetch();
        fail_with("could not append __name__ to __all__", error);
    }
    if (PyObject_SetAttr(module, name, value) < 0) throw_pending();
}

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) throw_pending();
    Ref function = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    module_name = Ref();
    if (!function) throw_pending();
    Ref name = Ref::steal(PyObject_GetAttr(function.get(), interned(name_attribute, "__name__")));
    if (!name) throw_pending();
    if (!PyUnicode_Check(name.get())) throw type_mismatch(name.get(), "str");
    add_attribute(module, name.get(), function.get());
}

int exec_module(PyObject* module) {
    Ref done = Ref::steal(guarded([&] {
        Ref version_name = check(PyUnicode_FromString("__version__"));
        Ref version = check(PyUnicode_FromString("0.1.0"));
        add_attribute(module, version_name.get(), version.get());
        for (PyMethodDef* def : {&smooth_def, &get_max_window_limit_def, &calculate_window_sizes_def,
                                 &apply_variable_smoothing_def, &smooth_many_def}) {
            add_function(module, def);
        }
        // KIV_CPU_LEVEL is read at each import until one succeeds, so that a
        // corrected value counts; the level settled on then stays.
        const Kernels* in_use = settled_kernels();
        if (in_use == nullptr) {
            const CpuLevel level = cpu_level();
            if (!level.error.empty()) throw PyError(PyExc_ImportError, level.error);
            in_use = &settle_kernels(*level.kernels);
        }
        // The CPU level of the kernels, for tests and benchmarks; not public.
        Ref level_name = check(PyUnicode_FromString(in_use->level));
        if (PyObject_SetAttrString(module, "_cpu_level", level_name.get()) < 0) throw_pending();
        return Ref::borrow(Py_None);
    }));
    return done ? 0 : -1;
}

// The PanicException and container types, interned names, NumPy's table and
// the borrow registry are process-wide objects of one interpreter: another
// interpreter must not share them, so a subinterpreter's import fails cleanly.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kiv", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace kiv

PyMODINIT_FUNC PyInit_kiv() { return PyModuleDef_Init(&kiv::module_def); }
