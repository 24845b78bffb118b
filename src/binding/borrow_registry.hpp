// The registry of array borrows that NumPy-using extension modules share
// through a capsule on NumPy's multiarray module.
#pragma once

#include <cstdint>

#include "binding/borrow_tracker.hpp"
#include "binding/python.hpp"

namespace kiv {

// Finds the registry, or installs kiv's own; may run Python code (imports).
// An internal failure when the registry found cannot be used.
void resolve_borrow_registry();

// Registers a read-only borrow of the array: an internal failure when another
// module holds it writable or the registry answers oddly, MemoryError when
// kiv's own registry cannot grow.
void acquire_shared_borrow(PyObject* array);
// Unregisters one, after a successful acquire_shared_borrow of the array as
// it is now.
void release_shared_borrow(PyObject* array);  // another module's may run Python code
// Unregisters, without allocating, the borrow of a 1-D array taken under
// `base` with this layout; false when the registry is another module's,
// which knows borrows by their arrays only.
bool release_own_shared_borrow(PyObject* base, const void* data, std::intptr_t length, std::intptr_t stride,
                               std::intptr_t item_size) noexcept;

// The memory a 1-D array with this layout can touch.
BorrowRegion region_of(const void* data, std::intptr_t length, std::intptr_t stride, std::intptr_t item_size);

// The object that every view of an array's memory is registered under: the
// first base that is not an array, else the last array of the chain.
PyObject* borrow_base(PyObject* array);

}  // namespace kiv
