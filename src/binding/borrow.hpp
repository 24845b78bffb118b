// The registry of array borrows that NumPy-using extension modules share
// through a capsule on NumPy's multiarray module.
#pragma once

#include "binding/python.hpp"

namespace kiv {

// Registers a read-only borrow of the array, finding or installing the
// registry on first use: an internal failure when another module holds the
// array writable, when the registry answers oddly or cannot be set up;
// MemoryError when kiv's own registry cannot grow.
void acquire_shared_borrow(PyObject* array);
// Unregisters one; only after a successful acquire_shared_borrow.
void release_shared_borrow(PyObject* array) noexcept;

}  // namespace kiv
