// The module object: its definition and the execution step that fills it.
#include <string>

#include "binding/errors.hpp"
#include "binding/lazy.hpp"
#include "binding/binder.hpp"
#include "binding/py_ref.hpp"
#include "kiv/core/kernels.hpp"
#include "kiv/core/thresholds.hpp"
#include "kiv/functions.hpp"

namespace kiv {

namespace {

Lazy<PyObject*> name_attribute;
Lazy<PyObject*> all_attribute;

// Adds an attribute and lists its name in __all__.
void add_attribute(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttr(module, interned(all_attribute, "__all__")));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        all = owned_or_fail(PyList_New(0));
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

// The sizes at which the cores take another path, as this build has them,
// so that tests reach both sides of each without copying them; not public.
Ref path_thresholds() {
    namespace t = thresholds;
    Ref blocks = owned_or_fail(Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(t::kMeanBlocks[0]),
                                             static_cast<Py_ssize_t>(t::kMeanBlocks[1]),
                                             static_cast<Py_ssize_t>(t::kMeanBlocks[2])));
    return owned_or_fail(Py_BuildValue("{s:n,s:n,s:O}", "band_minimum", static_cast<Py_ssize_t>(t::kBandMinimum),
                                       "mean_chunk", static_cast<Py_ssize_t>(t::kMeanChunk), "mean_blocks",
                                       blocks.get()));
}

int exec_module(PyObject* module) {
    Ref done = Ref::steal(guarded([&] {
        Ref version_name = owned_or_fail(PyUnicode_FromString("__version__"));
        Ref version = owned_or_fail(PyUnicode_FromString("0.1.0"));
        add_attribute(module, version_name.get(), version.get());
        for (PyMethodDef* def : {&smooth_method, &get_max_window_limit_method, &calculate_window_sizes_method,
                                 &apply_variable_smoothing_method, &smooth_many_method}) {
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
        Ref level_name = owned_or_fail(PyUnicode_FromString(in_use->level));
        if (PyObject_SetAttrString(module, "_cpu_level", level_name.get()) < 0) throw_pending();
        Ref sizes = path_thresholds();
        if (PyObject_SetAttrString(module, "_thresholds", sizes.get()) < 0) throw_pending();
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
