// Internal failures: a broken invariant inside kiv. They unwind to the entry
// guard, which alone turns them into the module's PanicException.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>

namespace kiv {

class InternalFailure final : public std::exception {
public:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes the report to standard error where the failure happens, then throws.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// Rethrows a failure whose report has already been written elsewhere.
[[noreturn]] void resume_failure(std::string message);

[[noreturn]] void fail_index(std::size_t len, std::size_t index,
                             std::source_location where = std::source_location::current());

// Bounds-checked element access; every index in the cores goes through it or
// through a loop whose bound is the length itself.
template <class Seq>
decltype(auto) at(Seq&& seq, std::size_t index,
                  std::source_location where = std::source_location::current()) {
    if (index >= seq.size()) fail_index(seq.size(), index, where);
    return seq[index];
}

}  // namespace kiv
