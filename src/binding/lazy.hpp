// Process-wide values made once, on first need, with the interpreter lock
// held. A thread that finds another one making the value waits detached from
// the interpreter, since the maker may import modules and need the lock. A
// maker that throws stores nothing, so the next caller tries again. Values
// are never destroyed: they outlive the interpreter's own teardown.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "binding/errors.hpp"

namespace kiv {

template <class T>
class Lazy {
public:
    template <class Make>
    const T& get(Make&& make) {
        if (T* v = value_.load(std::memory_order_acquire)) return *v;
        // A maker that runs Python code can call back into kiv on its own
        // thread (an import hook, say): waiting for itself would never end.
        if (maker_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            throw PyError(PyExc_RuntimeError,
                          "kiv was called again from within its own one-time set-up on the same thread");
        }
        std::unique_lock held(mutex_, std::try_to_lock);
        if (!held) {
            PyThreadState* state = PyEval_SaveThread();
            held.lock();
            PyEval_RestoreThread(state);
        }
        T* v = value_.load(std::memory_order_relaxed);
        if (v == nullptr) {
            maker_.store(std::this_thread::get_id(), std::memory_order_relaxed);
            struct Done {
                std::atomic<std::thread::id>& maker;
                ~Done() { maker.store(std::thread::id(), std::memory_order_relaxed); }
            } done{maker_};
            v = new T(make());
            value_.store(v, std::memory_order_release);
        }
        return *v;
    }

    // The value if it has been made, else null; never makes it.
    const T* peek() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    std::atomic<T*> value_{nullptr};
    std::mutex mutex_;
    std::atomic<std::thread::id> maker_{};
};

}  // namespace kiv
