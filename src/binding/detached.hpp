// Numeric work run with the interpreter lock released, so that other Python
// threads run meanwhile: a thread pool smooths several series at once. The
// work touches no Python object; the array arguments stay borrowed through
// it, so modules that share the borrow registry still see them as borrowed.
#pragma once

#include <cstddef>

#include "binding/python.hpp"

namespace kiv {

// Below this many samples the lock is kept: handing it over costs more than
// the work gains. benchmarks/detach.py, builds that always and never release
// it, on 2 cores: releasing costs one thread alone ~10% on calls under 1 us
// (64 samples or fewer) and nothing measurable from 1024; two threads lose
// 20-30% at 16 samples or fewer and run ~2x from ~4 us of work, for smooth
// from 256 samples and for get_max_window_limit (the cheapest, ~4 ns a
// sample) from 1024. Beside a thread busy in Python a released call waits up
// to the switch interval for the lock at any size: its thread slows to
// 0.1-0.6x, the other one speeds up 1.3-2x.
#ifdef KIV_DETACH_FROM
inline constexpr std::size_t kDetachFrom = KIV_DETACH_FROM;
#else
inline constexpr std::size_t kDetachFrom = 1024;
#endif

// Runs work(), detached from the interpreter when there are enough samples;
// attached again before its result or exception goes on. Not from a
// destructor: at interpreter exit CPython ends a daemon thread right where it
// attaches, by an unwinding that a destructor (noexcept) would turn into
// std::terminate.
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
