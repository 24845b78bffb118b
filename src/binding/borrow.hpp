// The registry of array borrows that NumPy-using extension modules share
// through a capsule on NumPy's multiarray module.
#pragma once

#include <cstdint>

#include "binding/python.hpp"

namespace kiv {

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

// The record found on (or installed into) NumPy's multiarray module; an
// internal failure "Internal borrow checking API error: ..." otherwise.
const SharedBorrowApi& borrow_api();

}  // namespace kiv
