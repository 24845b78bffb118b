#define KIV_NUMPY_API_DEFINITION
#include "binding/numpy.hpp"

#include <cstdio>

#include "binding/errors.hpp"
#include "binding/lazy.hpp"

namespace kiv {

namespace {

constexpr unsigned kCompiledAbi = 0x2000000;
constexpr unsigned kCompiledFeature = 0xc;  // NumPy 1.15

Lazy<std::string> core_package_cell;
Lazy<std::string> multiarray_cell;
Lazy<void**> api_cell;

Ref import(const char* name) { return owned_or_pending_error(PyImport_ImportModule(name)); }

Ref attribute(PyObject* object, const char* name) { return owned_or_pending_error(PyObject_GetAttrString(object, name)); }

const std::string& core_package_name() {
    return core_package_cell.get([] {
        Ref numpy = import("numpy");
        Ref version = attribute(numpy.get(), "__version__");
        Ref lib = import("numpy.lib");
        Ref numpy_version = attribute(lib.get(), "NumpyVersion");
        Ref parsed = owned_or_pending_error(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
        Ref major_object = attribute(parsed.get(), "major");
        const long major = PyLong_AsLong(major_object.get());
        if (major == -1 && PyErr_Occurred()) throw_pending();
        if (major < 0 || major > 255) {
            throw PyError(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
        return std::string(major >= 2 ? "numpy._core" : "numpy.core");
    });
}

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

void** resolve_numpy_api() {
    Ref multiarray = import(multiarray_module_name().c_str());
    Ref capsule = attribute(multiarray.get(), "_ARRAY_API");
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type) throw type_mismatch(capsule.get(), "PyCapsule");
    auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) throw_pending();
    // The headers' macros read the table through this symbol.
    PyArray_API = table;
    const unsigned abi = PyArray_GetNDArrayCVersion();
    if (abi > kCompiledAbi) {
        PyArray_API = nullptr;
        throw PyError(PyExc_RuntimeError, "module compiled against ABI version 0x" + hex(kCompiledAbi) +
                                              " but this version of numpy is 0x" + hex(abi));
    }
    const unsigned feature = PyArray_GetNDArrayCFeatureVersion();
    if (feature < kCompiledFeature) {
        PyArray_API = nullptr;
        throw PyError(PyExc_RuntimeError,
                      "module was compiled against NumPy C-API version 0x" + hex(kCompiledFeature) +
                          " (NumPy 1.15) but the running NumPy has C-API version 0x" + hex(feature));
    }
    if (PyArray_GetEndianness() != NPY_CPU_LITTLE) {
        PyArray_API = nullptr;
        throw PyError(PyExc_RuntimeError,
                      "module compiled as little endian, but detected different endianness at runtime");
    }
    // Descriptor layouts differ between NumPy 1 and 2; the headers ask this.
    PyArray_RUNTIME_VERSION = static_cast<int>(feature);
    // The capsule stays referenced for the life of the process: the table
    // lives inside it.
    (void)capsule.release();
    return table;
}

}  // namespace

const std::string& multiarray_module_name() {
    return multiarray_cell.get([] { return core_package_name() + ".multiarray"; });
}

void** numpy_api() {
    return api_cell.get([] {
        try {
            return resolve_numpy_api();
        } catch (PyError& error) {
            fail_with("Failed to access NumPy array API capsule", error);
        }
    });
}

}  // namespace kiv
