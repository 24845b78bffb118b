// Texts that other software sees and may match on: the names of the types
// kiv creates, and the messages of the failures that callers and other
// modules tell apart. They are a contract with that software, whatever they
// say about kiv's own workings: never reworded, and used from here only.
#pragma once

#include <string_view>

namespace kiv::matched {

// The internal-failure exception type's qualified name.
inline constexpr const char* kPanicType = "pyo3_runtime.PanicException";
// The type of the object that owns a result array's memory (its `base`).
inline constexpr const char* kContainerType = "builtins.PySliceContainer";
// A call whose samples need a time order and have a NaN timestamp.
inline constexpr std::string_view kNanTimestamp = "called `Option::unwrap()` on a `None` value";
// An array that another module holds writable.
inline constexpr std::string_view kAlreadyBorrowed = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed";
// How a Python error is rendered inside an internal failure's message.
inline constexpr std::string_view kErrorRenderingHead = "PyErr { type: ";

}  // namespace kiv::matched
