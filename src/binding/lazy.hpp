// Process-wide values made once, on first need, with the interpreter lock
// held. A maker that throws stores nothing, so the next caller tries again.
// Values are never destroyed: they outlive the interpreter's own teardown.
//
// Makers may import modules, which runs Python code and lets other threads
// run, fork() among them: no lock of kiv's is held meanwhile, or a child of
// fork() could find it held by a thread it does not have. The interpreter
// lock guards the cells; a thread that finds another one making a value
// waits detached from the interpreter, looking again now and then. Once the
// interpreter's exit has begun no other thread finishes a value (CPython
// 3.12 and 3.13 end it as it takes the lock back, 3.14 on leave it waiting
// for the lock for good): the finalising thread makes it itself.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "binding/errors.hpp"

namespace kiv {

class LazyCell {
public:
    // In the child of fork() (borrow.cpp's handler): only the thread that
    // forked lives on there, so the values that other threads were making
    // are nobody's to make.
    static void forget_other_makers() noexcept {
        const std::thread::id self = std::this_thread::get_id();
        for (LazyCell* cell = cells_.load(std::memory_order_acquire); cell != nullptr; cell = cell->next_) {
            if (cell->maker_.load(std::memory_order_relaxed) != self) {
                cell->maker_.store(std::thread::id(), std::memory_order_relaxed);
            }
        }
    }

protected:
    // Whether another thread makes the value now; throws if this one does.
    bool made_elsewhere() const {
        const std::thread::id maker = maker_.load(std::memory_order_relaxed);
        // A maker that runs Python code can call back into kiv on its own
        // thread (an import hook, say): waiting for itself would never end.
        if (maker == std::this_thread::get_id()) {
            throw PyError(PyExc_RuntimeError,
                          "kiv was called again from within its own one-time set-up on the same thread");
        }
        return maker != std::thread::id() && Py_IsInitialized();
    }

    // Lets the maker go on: the interpreter lock given up for a moment.
    static void wait_a_moment() {
        PyThreadState* state = PyEval_SaveThread();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        PyEval_RestoreThread(state);
    }

    // Until it ends, this thread makes the value.
    struct Making {
        explicit Making(LazyCell& cell) : cell(cell) {
            if (!cell.listed_) {
                cell.next_ = cells_.load(std::memory_order_relaxed);
                cells_.store(&cell, std::memory_order_release);
                cell.listed_ = true;
            }
            cell.maker_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        ~Making() { cell.maker_.store(std::thread::id(), std::memory_order_relaxed); }
        LazyCell& cell;
    };

private:
    std::atomic<std::thread::id> maker_{};
    LazyCell* next_ = nullptr;  // every cell ever made or tried, for fork()
    bool listed_ = false;
    static inline std::atomic<LazyCell*> cells_{nullptr};
};

template <class T>
class Lazy : LazyCell {
public:
    template <class Make>
    const T& get(Make&& make) {
        while (true) {
            if (T* v = value_.load(std::memory_order_acquire)) return *v;
            if (!made_elsewhere()) break;
            wait_a_moment();
        }
        const Making making(*this);
        T* v = new T(make());
        value_.store(v, std::memory_order_release);
        return *v;
    }

    // The value if it has been made, else null; never makes it.
    const T* peek() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    std::atomic<T*> value_{nullptr};
};

}  // namespace kiv
