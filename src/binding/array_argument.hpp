// Array arguments: a validated 1-D NumPy array, held and registered as
// read-only borrowed for one call; released on every way out.
#pragma once

#include <cstdint>
#include <span>

#include "binding/errors.hpp"

namespace kiv {

enum class ElementKind { float64, int64 };

// What the masked entries of a NumPy masked array mean for an argument.
enum class MaskedEntries {
    missing,  // samples: read as NaN
    refused,  // times and widths have no missing value: ValueError
};

class ArrayArgument {
public:
    // Type, dimensions and dtype, then a read-only borrow. Throws the
    // argument's TypeError (with its note), the ValueError of refused
    // masked entries, or an internal failure.
    static ArrayArgument extract(PyObject* object, const char* name, ElementKind kind,
                                 MaskedEntries masked = MaskedEntries::refused);

    ArrayArgument(ArrayArgument&& other) noexcept = default;
    ArrayArgument(const ArrayArgument&) = delete;
    ArrayArgument& operator=(const ArrayArgument&) = delete;
    ArrayArgument& operator=(ArrayArgument&&) = delete;
    ~ArrayArgument();  // releases the borrow, then the references

    // The data, once the memory is known to be contiguous and laid out as it
    // was when borrowed; ValueError otherwise.
    std::span<const double> float64_slice(const char* name) const;
    std::span<const std::int64_t> int64_slice(const char* name) const;

private:
    // What the borrow was registered with. Python code that runs during the
    // call (a scalar's __float__, say) can re-type, reshape or resize the
    // array or the array owning its memory.
    struct Layout {
        const void* data;
        std::intptr_t length;
        std::intptr_t stride;
    };
    static Layout layout_of(PyObject* array);

    ArrayArgument(Ref array, Ref base, Ref filled, ElementKind kind, Layout layout) noexcept
        : array_(std::move(array)), base_(std::move(base)), filled_(std::move(filled)), kind_(kind),
          layout_(layout) {}
    bool unchanged() const noexcept;
    const void* contiguous_data(const char* name) const;
    void release_changed() const noexcept;

    Ref array_;
    Ref base_;    // what the registry keys the borrow by, alive while it holds it
    Ref filled_;  // a masked array's samples with NaN under the mask, read instead of its data
    ElementKind kind_;
    Layout layout_;
};

}  // namespace kiv
