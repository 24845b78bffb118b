// Array arguments: a validated 1-D NumPy array, held and registered as
// read-only borrowed for one call; released on every way out.
#pragma once

#include <cstdint>
#include <span>

#include "binding/errors.hpp"

namespace kiv {

enum class ElementKind { float64, int64 };

class ArrayArgument {
public:
    // Type, dimensions and dtype, then a read-only borrow. Throws the
    // argument's TypeError (with its note) or an internal failure.
    static ArrayArgument extract(PyObject* object, const char* name, ElementKind kind);

    ArrayArgument(ArrayArgument&& other) noexcept;
    ArrayArgument(const ArrayArgument&) = delete;
    ArrayArgument& operator=(const ArrayArgument&) = delete;
    ArrayArgument& operator=(ArrayArgument&&) = delete;
    ~ArrayArgument();  // releases the borrow, then the reference

    // The data, once the memory is known to be contiguous; ValueError otherwise.
    std::span<const double> float64_slice(const char* name) const;
    std::span<const std::int64_t> int64_slice() const;

private:
    explicit ArrayArgument(Ref array) noexcept : array_(std::move(array)) {}
    // Null unless aligned and C- or Fortran-contiguous with a buffer.
    const void* contiguous_data() const;
    std::size_t length() const;

    Ref array_;
};

}  // namespace kiv
