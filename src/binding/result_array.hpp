// Result buffers handed to NumPy without a copy: the array's base is a
// PySliceContainer that frees the buffer when the last view is gone.
#pragma once

#include <cstdint>

#include "binding/py_ref.hpp"
#include "kiv/core/buffer.hpp"

namespace kiv {

Ref hand_over(OwnedBuffer<double>&& buffer);
Ref hand_over(OwnedBuffer<std::uint8_t>&& buffer);

}  // namespace kiv
