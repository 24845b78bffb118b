#include "kiv/core/failure.hpp"

#include <pthread.h>

#include <cstdio>
#include <string>

namespace kiv {

namespace {

std::string thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0')
        return name;
    return "<unnamed>";
}

}  // namespace

void fail(std::string message, std::source_location where) { fail_input(std::move(message), {}, where); }

void report_failure(const std::string& message, const std::source_location& where) {
    std::fprintf(stderr,
                 "kiv: internal failure in thread '%s' at %s:%u:%u (%s):\n%s\n"
                 "note: to get a backtrace, run Python under gdb with `catch throw`\n",
                 thread_name().c_str(), where.file_name(), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), where.function_name(), message.c_str());
    std::fflush(stderr);
}

void fail_input(std::string message, std::string note, std::source_location where) {
    report_failure(message, where);
    throw InternalFailure(std::move(message), std::move(note));
}

void fail_input_error(std::string message, std::string note, std::source_location where) {
    report_failure(message, where);
    throw InputError(std::move(message), std::move(note), where);
}

void fail_changed_input(std::source_location where) {
    fail("the input changed while kiv read it (written by another thread?)", where);
}

void resume_failure(std::string message) { throw InternalFailure(std::move(message)); }

void fail_index(std::size_t len, std::size_t index, std::source_location where) {
    fail_index(len, index, {}, where);
}

void fail_index(std::size_t len, std::size_t index, std::string note, std::source_location where) {
    fail_input("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                   std::to_string(index),
               std::move(note), where);
}

}  // namespace kiv
