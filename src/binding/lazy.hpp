// Process-wide values made once, on first need, with the interpreter lock
// held. A thread that finds another one making the value waits detached from
// the interpreter, since the maker may import modules and need the lock. A
// maker that throws stores nothing, so the next caller tries again. Values
// are never destroyed: they outlive the interpreter's own teardown.
#pragma once

#include <atomic>
#include <mutex>

#include "binding/python.hpp"

namespace kiv {

template <class T>
class Lazy {
public:
    template <class Make>
    const T& get(Make&& make) {
        if (T* v = value_.load(std::memory_order_acquire)) return *v;
        if (!mutex_.try_lock()) {
            PyThreadState* state = PyEval_SaveThread();
            mutex_.lock();
            PyEval_RestoreThread(state);
        }
        std::lock_guard<std::mutex> held(mutex_, std::adopt_lock);
        T* v = value_.load(std::memory_order_relaxed);
        if (v == nullptr) {
            v = new T(make());
            value_.store(v, std::memory_order_release);
        }
        return *v;
    }

private:
    std::atomic<T*> value_{nullptr};
    std::mutex mutex_;
};

}  // namespace kiv
