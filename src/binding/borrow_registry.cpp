#include "binding/borrow_registry.hpp"

#include <pthread.h>

#include <cstdint>
#include <memory>
#include <new>
#include <numeric>
#include <string>
#include <tuple>

#include "binding/borrow_tracker.hpp"
#include "binding/errors.hpp"
#include "binding/lazy.hpp"
#include "binding/numpy.hpp"
#include "kiv/core/matched_texts.hpp"

namespace kiv {

namespace {

constexpr const char* kCapsuleName = "_RUST_NUMPY_BORROW_CHECKING_API";

// Fixed cross-module layout: six 64-bit fields.
struct SharedBorrowApi {
    std::uint64_t version;
    void* tracker;
    int (*acquire_shared)(void* tracker, PyObject* array);
    int (*acquire_exclusive)(void* tracker, PyObject* array);
    void (*release_shared)(void* tracker, PyObject* array);
    void (*release_exclusive)(void* tracker, PyObject* array);
};
static_assert(sizeof(SharedBorrowApi) == 6 * 8);

// |x| without overflow, also for the most negative value.
std::uintptr_t magnitude(npy_intp x) {
    const auto bits = static_cast<std::uintptr_t>(x);
    return x < 0 ? 0 - bits : bits;
}

// The memory a strided array can touch.
BorrowRegion region_of(const void* start_of_data, int nd, const npy_intp* dims, const npy_intp* strides,
                       npy_intp item_size) {
    const auto data = reinterpret_cast<std::uintptr_t>(start_of_data);
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
        region.end = data + high + static_cast<std::uintptr_t>(item_size);
    }
    if (nd >= 1) {
        region.divisor = magnitude(strides[0]);
        for (int i = 1; i < nd; ++i) region.divisor = std::gcd(region.divisor, magnitude(strides[i]));
    }
    return region;
}

BorrowRegion region_of(PyObject* object) {
    PyArrayObject* array = as_array(object);
    return region_of(PyArray_DATA(array), PyArray_NDIM(array), PyArray_DIMS(array), PyArray_STRIDES(array),
                     PyArray_ITEMSIZE(array));
}

std::tuple<const void*, BorrowRegion> key(PyObject* array) { return {borrow_base(array), region_of(array)}; }

// Other modules call these through the record; nothing may unwind into them.
int tracker_acquire_shared(void* tracker, PyObject* array) noexcept {
    const auto [base, region] = key(array);
    return static_cast<BorrowTracker*>(tracker)->acquire_shared(base, region);
}
int tracker_acquire_exclusive(void* tracker, PyObject* array) noexcept {
    if (!PyArray_CHKFLAGS(as_array(array), NPY_ARRAY_WRITEABLE)) return kNotWriteable;
    const auto [base, region] = key(array);
    return static_cast<BorrowTracker*>(tracker)->acquire_exclusive(base, region);
}
void tracker_release_shared(void* tracker, PyObject* array) noexcept {
    const auto [base, region] = key(array);
    static_cast<BorrowTracker*>(tracker)->release_shared(base, region);
}
void tracker_release_exclusive(void* tracker, PyObject* array) noexcept {
    const auto [base, region] = key(array);
    static_cast<BorrowTracker*>(tracker)->release_exclusive(base, region);
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
    auto tracker = std::make_unique<BorrowTracker>();
    auto api = std::make_unique<SharedBorrowApi>(SharedBorrowApi{
        1, tracker.get(), tracker_acquire_shared, tracker_acquire_exclusive, tracker_release_shared,
        tracker_release_exclusive});
    Ref capsule = Ref::steal(PyCapsule_New(api.get(), kCapsuleName, destroy_capsule));
    if (!capsule) throw_pending();
    (void)tracker.release();  // the capsule's destructor frees both
    (void)api.release();
    if (PyObject_SetAttrString(multiarray, kCapsuleName, capsule.get()) < 0) throw_pending();
    return capsule;
}

// The record, and the capsule it lives in. The capsule may lose its place on
// the module (deleted, replaced, or cleared at teardown while finalisers
// still call kiv): kiv's reference keeps it for the life of the process.
struct Registry {
    PyObject* capsule;
    const SharedBorrowApi* api;
};

Registry resolve_borrow_api() {
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
    return {capsule.release(), api};
}

Lazy<Registry> borrow_api_cell;

const SharedBorrowApi& borrow_api() {
    return *borrow_api_cell.get([] {
        numpy_api();  // the tracker reads arrays through NumPy's table
        try {
            return resolve_borrow_api();
        } catch (PyError& error) {
            fail_with("Internal borrow checking API error", error);
        }
    }).api;
}

// fork() in a process with threads leaves the child only the thread that
// forked. Its registry must keep no borrow of the others' calls, which it
// does not have, nor a lock that one of them held; its one-time set-up must
// not wait for their makers. Another module's registry is that module's.
BorrowTracker* forking_tracker = nullptr;

void before_fork() noexcept {
    const Registry* registry = borrow_api_cell.peek();
    forking_tracker = registry != nullptr && registry->api->acquire_shared == tracker_acquire_shared
                          ? static_cast<BorrowTracker*>(registry->api->tracker)
                          : nullptr;
    if (forking_tracker != nullptr) forking_tracker->before_fork();
}

void after_fork_in_parent() noexcept {
    if (forking_tracker != nullptr) forking_tracker->after_fork_in_parent();
}

void after_fork_in_child() noexcept {
    if (forking_tracker != nullptr) forking_tracker->after_fork_in_child();
    LazyCell::forget_other_makers();
}

[[maybe_unused]] const int fork_handlers = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace

void acquire_shared_borrow(PyObject* array) {
    const SharedBorrowApi& api = borrow_api();
    const int status = api.acquire_shared(api.tracker, array);
    if (status == kBorrowed) return;
    if (status == kBorrowConflict) fail(std::string(matched::kAlreadyBorrowed));
    if (status == kRegistryOutOfMemory && api.acquire_shared == tracker_acquire_shared) throw std::bad_alloc();
    fail("Unexpected return code " + std::to_string(status) + " from borrow checking API");
}

void release_shared_borrow(PyObject* array) {
    const SharedBorrowApi& api = *borrow_api_cell.peek()->api;  // resolved by the acquire
    api.release_shared(api.tracker, array);
}

bool release_own_shared_borrow(PyObject* base, const void* data, std::intptr_t length, std::intptr_t stride,
                               std::intptr_t item_size) noexcept {
    const SharedBorrowApi& api = *borrow_api_cell.peek()->api;
    if (api.release_shared != tracker_release_shared) return false;
    static_cast<BorrowTracker*>(api.tracker)->release_shared(base, region_of(data, length, stride, item_size));
    return true;
}

BorrowRegion region_of(const void* data, std::intptr_t length, std::intptr_t stride, std::intptr_t item_size) {
    const npy_intp dims[1] = {length}, strides[1] = {stride};
    return region_of(data, 1, dims, strides, item_size);
}

void resolve_borrow_registry() { borrow_api(); }

PyObject* borrow_base(PyObject* array) {
    PyObject* current = array;
    while (PyObject* base = PyArray_BASE(as_array(current))) {
        if (!is_ndarray(base)) return base;
        current = base;
    }
    return current;
}

}  // namespace kiv
