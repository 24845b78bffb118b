// One array registered as read-only borrowed in the shared registry for the
// length of a call, with the layout the registry keyed it by; released on
// every way out, the borrow first, then the references. Python code that
// runs during the call (a scalar's __float__, say) can re-type, reshape or
// resize the array or the array owning its memory: the borrow tells.
#pragma once

#include <cstdint>

#include "binding/element_kind.hpp"
#include "binding/errors.hpp"

namespace kiv {

class ArrayBorrow {
public:
    ArrayBorrow() noexcept = default;
    // The argument's ValueError when the array changed while it was
    // registered; the registry's failures otherwise.
    static ArrayBorrow register_read_only(PyObject* array, ElementKind kind, const char* name);
    ArrayBorrow(ArrayBorrow&& other) noexcept = default;
    ArrayBorrow& operator=(ArrayBorrow&& other) = delete;
    ~ArrayBorrow() noexcept(false);  // runs Python code: see Ref

    PyObject* array() const noexcept { return array_.get(); }
    const void* data() const noexcept { return data_; }
    std::intptr_t length() const noexcept { return length_; }
    // Laid out as when borrowed, and still of its kind.
    bool intact() const;

private:
    bool unchanged() const noexcept;
    void release_changed() const;

    Ref array_;
    Ref base_;   // what the registry keys the borrow by, alive while it holds it
    Ref owner_;  // the array whose memory it is, found behind a base that is no array
    ElementKind kind_ = ElementKind::float64;
    const void* data_ = nullptr;
    std::intptr_t length_ = 0;
    std::intptr_t stride_ = 0;
};

// "`{name}` was changed in place (dtype, shape or memory) during the call"
PyError changed_error(const char* name);

}  // namespace kiv
