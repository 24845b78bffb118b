// Array arguments: a validated 1-D NumPy array and its borrows for one call
// (the argument's, and its filled samples' if it is a masked array).
#pragma once

#include <cstdint>
#include <span>

#include "binding/borrow.hpp"
#include "binding/element_kind.hpp"
#include "binding/errors.hpp"
#include "binding/masked_arrays.hpp"

namespace kiv {

class ArrayArgument {
public:
    // Type, dimensions and dtype, then a read-only borrow. Throws the
    // argument's TypeError (with its note), the ValueError of refused
    // masked entries, or an internal failure.
    static ArrayArgument extract(PyObject* object, const char* name, ElementKind kind,
                                 MaskedEntries masked = MaskedEntries::refused);

    // Whether the object is a 1-D NumPy array of that kind.
    static bool holds(PyObject* object, ElementKind kind);

    // The data, once the memory is known to be contiguous and laid out as it
    // was when borrowed; ValueError otherwise.
    std::span<const double> float64_slice(const char* name) const { return slice<double>(name); }
    std::span<const std::int64_t> int64_slice(const char* name) const { return slice<std::int64_t>(name); }
    std::span<const std::int32_t> int32_slice(const char* name) const { return slice<std::int32_t>(name); }

private:
    ArrayArgument(ElementKind kind, ArrayBorrow argument, ArrayBorrow filled) noexcept
        : kind_(kind), argument_(std::move(argument)), filled_(std::move(filled)) {}
    const void* contiguous_data(const char* name) const;
    template <class T>
    std::span<const T> slice(const char* name) const {
        const void* data = contiguous_data(name);
        if (data == nullptr) return {};
        return {static_cast<const T*>(data), static_cast<std::size_t>(argument_.length())};
    }

    ElementKind kind_;
    ArrayBorrow argument_;
    ArrayBorrow filled_;  // a masked array's samples with NaN under the mask: read instead, if held
};

}  // namespace kiv
