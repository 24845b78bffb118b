// Array arguments: a validated 1-D NumPy array, held and registered as
// read-only borrowed for one call; released on every way out.
#pragma once

#include <cstdint>
#include <span>

#include "binding/errors.hpp"

namespace kiv {

// int32 only where int64 is expected and an Arrow list array's offsets are
// taken as they are: its errors name int64.
enum class ElementKind { float64, int64, int32 };

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

    // Whether the object is a 1-D NumPy array of that kind.
    static bool holds(PyObject* object, ElementKind kind);

    // The data, once the memory is known to be contiguous and laid out as it
    // was when borrowed; ValueError otherwise.
    std::span<const double> float64_slice(const char* name) const { return slice<double>(name); }
    std::span<const std::int64_t> int64_slice(const char* name) const { return slice<std::int64_t>(name); }
    std::span<const std::int32_t> int32_slice(const char* name) const { return slice<std::int32_t>(name); }

private:
    // One array registered as read-only borrowed, with the layout the
    // registry keyed it by; released on every way out, the borrow first,
    // then the references. Python code that runs during the call (a scalar's
    // __float__, say) can re-type, reshape or resize the array or the array
    // owning its memory.
    class Borrow {
    public:
        Borrow() noexcept = default;
        // The ValueError of an array changed while it was registered.
        static Borrow take(PyObject* array, ElementKind kind, const char* name);
        Borrow(Borrow&& other) noexcept = default;
        Borrow& operator=(Borrow&& other) = delete;
        ~Borrow() noexcept(false);  // runs Python code: see Ref

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

    ArrayArgument(ElementKind kind, Borrow argument, Borrow filled) noexcept
        : kind_(kind), argument_(std::move(argument)), filled_(std::move(filled)) {}
    const void* contiguous_data(const char* name) const;
    template <class T>
    std::span<const T> slice(const char* name) const {
        const void* data = contiguous_data(name);
        if (data == nullptr) return {};
        return {static_cast<const T*>(data), static_cast<std::size_t>(argument_.length())};
    }

    ElementKind kind_;
    Borrow argument_;
    Borrow filled_;  // a masked array's samples with NaN under the mask: read instead, if held
};

}  // namespace kiv
