// The interpreter's headers, always under the stable ABI of CPython 3.12.
#pragma once

#ifndef Py_LIMITED_API
#error "kiv is built against the limited API: define Py_LIMITED_API=0x030C0000"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
