// Numeric work run with the interpreter lock released, so that other Python
// threads run meanwhile: a thread pool smooths several series at once. The
// work touches no Python object; the array arguments stay borrowed through
// it, so modules that share the borrow registry still see them as borrowed.
#pragma once

#include <cstddef>

#include "binding/python.hpp"

namespace kiv {

// Below this many samples the lock is kept: handing it over costs more than
// the work gains (about 4 µs of work repays it; the measurement is
// benchmarks/detach.py's, in benchmarks/README.md).
#ifdef KIV_DETACH_FROM
inline constexpr std::size_t kDetachFrom = KIV_DETACH_FROM;
#else
inline constexpr std::size_t kDetachFrom = 1024;
#endif

// Runs work(), detached from the interpreter when there are enough samples;
// attached again before its result or exception goes on. Not from a
// destructor: the exit unwinding (py_ref.hpp) starts where the thread
// attaches again.
template <class Work>
decltype(auto) run_detached(std::size_t samples, Work&& work) {
    if (samples < kDetachFrom) return work();
    PyThreadState* state = PyEval_SaveThread();
    auto result = [&] {
        try {
            return work();
        } catch (...) {  // the work's own failure: it calls nothing that ends the thread
            PyEval_RestoreThread(state);
            throw;
        }
    }();
    PyEval_RestoreThread(state);
    return result;
}

}  // namespace kiv
