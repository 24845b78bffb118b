// Owned references: one type, explicit about where ownership is taken and
// handed on, so that every way out of a call releases what it took.
#pragma once

#include <utility>

#include "binding/python.hpp"

namespace kiv {

// The exit unwinding, the one rule that every frame of a call keeps. Once
// the interpreter's finalisation has begun (Py_IsInitialized() is false)
// CPython 3.12 and 3.13 end every thread but the finalising one with
// pthread_exit as it takes the interpreter lock back (3.14 on leave such a
// thread waiting for the lock for good instead). That unwinding is no C++
// exception and must pass through every frame between the interpreter's and
// the place where the thread takes the lock back:
// - no such frame is noexcept, a destructor included (Ref's, ArrayBorrow's):
//   std::terminate would end the process instead;
// - nothing there catches (...) without rethrowing at once: libc++abi's
//   rethrow cannot resume it;
// - the destructors it runs have no lock: they leave Python objects alone
//   (leaked, as the process ends), which lock_lost_at_exit() tells them.
// The finalising thread enters kiv only after finalisation began, so a thread
// whose kiv call began before it has lost the lock. Set by the entry guard.
inline thread_local bool call_began_before_exit = false;

inline bool lock_lost_at_exit() noexcept { return !Py_IsInitialized() && call_began_before_exit; }

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (possibly null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference of its own to a borrowed one.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    // Freeing an object may run Python code (a __del__) that lets other
    // threads run, the interpreter's exit among them: the exit unwinding
    // (above) may start here.
    Ref& operator=(Ref&& o) noexcept(false) {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() noexcept(false) {
        if (p_ != nullptr && !lock_lost_at_exit()) Py_DECREF(p_);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference on; the caller owns it now.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline PyObject* as_object(void* p) noexcept { return static_cast<PyObject*>(p); }
inline PyObject* as_object(PyTypeObject* t) noexcept { return reinterpret_cast<PyObject*>(t); }

}  // namespace kiv
