// A buffer that can be handed to another owner without a copy: the three
// words (pointer, length, capacity) and one type-agnostic release. Results
// and the cores' large scratch alike, so that both get huge pages.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace kiv {

// From this size on a buffer lies on whole huge pages and asks for them:
// each first touch of a 4 KiB page is a page fault (about 2 µs in a virtual
// machine), which costs more than the work done on its values. Rounding up
// to whole pages adds at most one page of memory, and the alignment up to
// as much again of address space only.
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

// Memory aligned to `alignment` (a power of two; above malloc's own, one
// that divides `bytes`); null when there is none. Freed by free_aligned.
// The Windows C runtime has no aligned_alloc, and its aligned blocks need a
// free of their own.
inline void* allocate_aligned(std::size_t alignment, std::size_t bytes) noexcept {
#if defined(_WIN32)
    return _aligned_malloc(bytes, alignment);
#else
    return alignment <= alignof(std::max_align_t) ? std::malloc(bytes) : std::aligned_alloc(alignment, bytes);
#endif
}
inline void free_aligned(void* data) noexcept {
#if defined(_WIN32)
    _aligned_free(data);
#else
    std::free(data);
#endif
}

// Frees a buffer made by OwnedBuffer; nothing is freed when capacity is 0.
inline void release_buffer(void* data, std::size_t /*length*/, std::size_t capacity) noexcept {
    if (capacity != 0) free_aligned(data);
}

template <class T>
class OwnedBuffer {
public:
    OwnedBuffer() noexcept = default;
    explicit OwnedBuffer(std::size_t n) {
        if (n == 0) return;
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        void* p = nullptr;
        if (bytes < kHugePageBytes) {
            p = allocate_aligned(alignof(std::max_align_t), bytes);
        } else if (bytes <= static_cast<std::size_t>(-1) - kHugePageBytes) {
            const std::size_t whole = (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
            p = allocate_aligned(kHugePageBytes, whole);
            if (p != nullptr) advise_huge_pages(p, whole);
        }
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(p);
        size_ = capacity_ = n;
    }
    OwnedBuffer(const OwnedBuffer&) = delete;
    OwnedBuffer& operator=(const OwnedBuffer&) = delete;
    OwnedBuffer(OwnedBuffer&& o) noexcept
        : data_(std::exchange(o.data_, placeholder())),
          size_(std::exchange(o.size_, 0)),
          capacity_(std::exchange(o.capacity_, 0)) {}
    OwnedBuffer& operator=(OwnedBuffer&& o) noexcept {
        if (this != &o) {
            release_buffer(data_, size_, capacity_);
            data_ = std::exchange(o.data_, placeholder());
            size_ = std::exchange(o.size_, 0);
            capacity_ = std::exchange(o.capacity_, 0);
        }
        return *this;
    }
    ~OwnedBuffer() { release_buffer(data_, size_, capacity_); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }

    struct Raw {
        T* data;
        std::size_t size;
        std::size_t capacity;
    };
    // Gives up ownership; the receiver must call release_buffer once.
    Raw release() noexcept {
        Raw raw{data_, size_, capacity_};
        data_ = placeholder();
        size_ = capacity_ = 0;
        return raw;
    }

private:
    // Empty buffers point at no allocation but are non-null and aligned.
    static T* placeholder() noexcept { return reinterpret_cast<T*>(alignof(T)); }

    T* data_ = placeholder();
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace kiv
