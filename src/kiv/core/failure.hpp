// Internal failures: a broken invariant inside kiv. They unwind to the entry
// guard, which alone turns them into the module's PanicException.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>

namespace kiv {

class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message, std::string note = {})
        : message_(std::move(message)), note_(std::move(note)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    // What the caller can do about it, where the failure comes from the
    // input; empty otherwise. The exception gains it as a note.
    const std::string& note() const noexcept { return note_; }

private:
    std::string message_;
    std::string note_;
};

// A failure that the input causes and the caller can avoid (a NaN timestamp
// where the samples need a time order), of its own type so that the binding
// can tell it apart. Thrown by fail_input_error, with the report.
class InputError final : public InternalFailure {
public:
    InputError(std::string message, std::string note,
               std::source_location where = std::source_location::current())
        : InternalFailure(std::move(message), std::move(note)), where_(where) {}
    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

// The report of an internal failure on standard error, naming the thread
// that writes it and the place where the failure happened.
void report_failure(const std::string& message, const std::source_location& where);

// Writes the report and throws the InputError. The report comes first, as
// for every internal failure: the unwinding runs other code (another
// module's registry releasing a borrow), which need not return.
[[noreturn]] void fail_input_error(std::string message, std::string note,
                                   std::source_location where = std::source_location::current());

// Writes the report to standard error where the failure happens, then throws.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// The same for a failure that the input causes, with the note that says how
// to avoid it.
[[noreturn]] void fail_input(std::string message, std::string note,
                             std::source_location where = std::source_location::current());

// Another thread wrote an input while kiv read it (NumPy writes without
// looking at borrows, and copies without the interpreter lock): what was
// counted or checked before is not what is read now.
[[noreturn]] void fail_changed_input(std::source_location where = std::source_location::current());

// Rethrows a failure whose report has already been written elsewhere.
[[noreturn]] void resume_failure(std::string message);

[[noreturn]] void fail_index(std::size_t len, std::size_t index,
                             std::source_location where = std::source_location::current());
// The same caused by the input, with its note.
[[noreturn]] void fail_index(std::size_t len, std::size_t index, std::string note,
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
