// Owned references: one type, explicit about where ownership is taken and
// handed on, so that every way out of a call releases what it took.
#pragma once

#include <utility>

#include "binding/python.hpp"

namespace kiv {

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
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

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
