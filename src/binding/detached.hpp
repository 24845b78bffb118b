// Numeric work run with the interpreter lock released, so that other Python
// threads run meanwhile: a thread pool smooths several series at once. The
// work touches no Python object; the array arguments stay borrowed through
// it, so modules that share the borrow registry still see them as borrowed.
#pragma once

#include <cstddef>

#include "binding/python.hpp"

namespace kiv {

// Below this many samples the lock is kept: releasing and taking it back
// costs more than other threads gain in the time the work takes.
// benchmarks/detach.py measures builds that define KIV_DETACH_FROM.
#ifdef KIV_DETACH_FROM
inline constexpr std::size_t kDetachFrom = KIV_DETACH_FROM;
#else
inline constexpr std::size_t kDetachFrom = 0;
#endif

// Runs work(), detached from the interpreter when there are enough samples;
// attached again before its result or exception goes on.
template <class Work>
decltype(auto) run_detached(std::size_t samples, Work&& work) {
    struct Attach {
        PyThreadState* state;
        ~Attach() {
            if (state != nullptr) PyEval_RestoreThread(state);
        }
    } attach{samples >= kDetachFrom ? PyEval_SaveThread() : nullptr};
    return work();
}

}  // namespace kiv
