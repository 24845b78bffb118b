#include "binding/borrow.hpp"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <numeric>
#include <string>
#include <tuple>
#include <unordered_map>

#include "binding/errors.hpp"
#include "binding/lazy.hpp"
#include "binding/numpy.hpp"

namespace kiv {

namespace {

constexpr const char* kCapsuleName = "_RUST_NUMPY_BORROW_CHECKING_API";

// The memory an array can touch, and how its elements are spaced in it.
struct BorrowRegion {
    std::uintptr_t start;
    std::uintptr_t end;
    std::uintptr_t data;
    std::uintptr_t divisor;  // of the strides' magnitudes: their signs do not matter

    friend auto operator<=>(const BorrowRegion&, const BorrowRegion&) = default;
};

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

// |x| without overflow, also for the most negative value.
std::uintptr_t magnitude(npy_intp x) {
    const auto bits = static_cast<std::uintptr_t>(x);
    return x < 0 ? 0 - bits : bits;
}

bool is_array(PyObject* object) {
    return Py_TYPE(object) == &PyArray_Type || PyType_IsSubtype(Py_TYPE(object), &PyArray_Type);
}

// All views of one buffer share the first base that is not an array.
void* base_object(PyObject* array) {
    PyObject* current = array;
    while (PyObject* base = PyArray_BASE(as_array(current))) {
        if (!is_array(base)) return base;
        current = base;
    }
    return current;
}

BorrowRegion region_of(PyObject* object) {
    PyArrayObject* array = as_array(object);
    const auto data = reinterpret_cast<std::uintptr_t>(PyArray_DATA(array));
    const int nd = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    BorrowRegion region{data, data, data, 1};
    bool empty = nd == 0;
    for (int i = 0; i < nd; ++i) empty = empty || dims[i] == 0;
    if (!empty) {
        // Unsigned, so that absurd strides wrap instead of overflowing.
        std::uintptr_t low = 0, high = 0;
        for (int i = 0; i < nd; ++i) {
            const std::uintptr_t offset = static_cast<std::uintptr_t>(dims[i] - 1) * magnitude(strides[i]);
            (strides[i] < 0 ? low : high) += offset;
        }
        region.start = data - low;
        region.end = data + high + static_cast<std::uintptr_t>(PyArray_ITEMSIZE(array));
    }
    if (nd >= 1) {
        region.divisor = magnitude(strides[0]);
        for (int i = 1; i < nd; ++i) region.divisor = std::gcd(region.divisor, magnitude(strides[i]));
    }
    return region;
}

bool regions_conflict(const BorrowRegion& a, const BorrowRegion& b) {
    if (b.start >= a.end || a.start >= b.end) return false;
    const std::uintptr_t g = std::gcd(a.divisor, b.divisor);
    const std::uintptr_t d = a.data > b.data ? a.data - b.data : b.data - a.data;
    // Broadcast views (all strides 0) touch only their first element.
    if (g == 0) return d == 0;
    return d % g == 0;
}

class BorrowTracker {
public:
    int acquire_shared(PyObject* array) {
        auto [base, region] = key(array);
        std::lock_guard lock(mutex_);
        auto& regions = bases_[base];
        if (auto it = regions.find(region); it != regions.end()) {
            if (it->second < 1 || it->second == INT64_MAX) return -1;
            ++it->second;
            return 0;
        }
        for (const auto& [other, count] : regions) {
            if (count < 0 && regions_conflict(region, other)) return -1;
        }
        regions.emplace(region, 1);
        return 0;
    }

    int acquire_exclusive(PyObject* array) {
        if (!PyArray_CHKFLAGS(as_array(array), NPY_ARRAY_WRITEABLE)) return -2;
        auto [base, region] = key(array);
        std::lock_guard lock(mutex_);
        auto& regions = bases_[base];
        if (regions.contains(region)) return -1;
        for (const auto& [other, count] : regions) {
            if (count != 0 && regions_conflict(region, other)) return -1;
        }
        regions.emplace(region, -1);
        return 0;
    }

    void release_shared(PyObject* array) {
        auto [base, region] = key(array);
        std::lock_guard lock(mutex_);
        auto found = bases_.find(base);
        if (found == bases_.end()) return;
        auto& regions = found->second;
        auto it = regions.find(region);
        if (it == regions.end()) return;
        if (--it->second == 0) forget(found, it);
    }

    void release_exclusive(PyObject* array) {
        auto [base, region] = key(array);
        std::lock_guard lock(mutex_);
        auto found = bases_.find(base);
        if (found == bases_.end()) return;
        auto it = found->second.find(region);
        if (it != found->second.end()) forget(found, it);
    }

private:
    using Regions = std::map<BorrowRegion, std::int64_t>;
    using Bases = std::unordered_map<void*, Regions>;
    static std::tuple<void*, BorrowRegion> key(PyObject* array) {
        return {base_object(array), region_of(array)};
    }

    // A count never stays 0, and a base never keeps an empty map.
    void forget(Bases::iterator base, Regions::iterator region) {
        base->second.erase(region);
        if (base->second.empty()) bases_.erase(base);
    }

    std::mutex mutex_;
    Bases bases_;
};

// Other modules call these through the record; nothing may unwind into them.
int tracker_acquire_shared(void* tracker, PyObject* array) noexcept {
    return static_cast<BorrowTracker*>(tracker)->acquire_shared(array);
}
int tracker_acquire_exclusive(void* tracker, PyObject* array) noexcept {
    return static_cast<BorrowTracker*>(tracker)->acquire_exclusive(array);
}
void tracker_release_shared(void* tracker, PyObject* array) noexcept {
    static_cast<BorrowTracker*>(tracker)->release_shared(array);
}
void tracker_release_exclusive(void* tracker, PyObject* array) noexcept {
    static_cast<BorrowTracker*>(tracker)->release_exclusive(array);
}

void destroy_capsule(PyObject* capsule) {
    auto* api = static_cast<SharedBorrowApi*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (api == nullptr) {
        PyErr_Clear();
        return;
    }
    delete static_cast<BorrowTracker*>(api->tracker);
    delete api;
}

Ref install_registry(PyObject* multiarray) {
    auto* api = new SharedBorrowApi{1,
                                    new BorrowTracker,
                                    tracker_acquire_shared,
                                    tracker_acquire_exclusive,
                                    tracker_release_shared,
                                    tracker_release_exclusive};
    Ref capsule = Ref::steal(PyCapsule_New(api, kCapsuleName, destroy_capsule));
    if (!capsule) {
        delete static_cast<BorrowTracker*>(api->tracker);
        delete api;
        throw_pending();
    }
    if (PyObject_SetAttrString(multiarray, kCapsuleName, capsule.get()) < 0) throw_pending();
    return capsule;
}

const SharedBorrowApi* resolve_borrow_api() {
    Ref multiarray = Ref::steal(PyImport_ImportModule(multiarray_module_name().c_str()));
    if (!multiarray) throw_pending();
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), kCapsuleName));
    if (!capsule) {
        PyErr_Clear();
        capsule = install_registry(multiarray.get());
    }
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type) throw type_mismatch(capsule.get(), "PyCapsule");
    auto* api = static_cast<const SharedBorrowApi*>(PyCapsule_GetPointer(capsule.get(), kCapsuleName));
    if (api == nullptr) throw_pending();
    if (api->version == 0) {
        throw PyError(PyExc_TypeError,
                      "version " + std::to_string(api->version) + " of the borrow checking API is not supported");
    }
    return api;
}

Lazy<const SharedBorrowApi*> borrow_api_cell;

}  // namespace

const SharedBorrowApi& borrow_api() {
    return *borrow_api_cell.get([] {
        numpy_api();  // the tracker reads arrays through NumPy's table
        try {
            return resolve_borrow_api();
        } catch (PyError& error) {
            fail_with("Internal borrow checking API error", error);
        }
    });
}

}  // namespace kiv
