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

void fail(std::string message, std::source_location where) {
    std::fprintf(stderr,
                 "kiv: internal failure in thread '%s' at %s:%u:%u (%s):\n%s\n"
                 "note: to get a backtrace, run Python under gdb with `catch throw`\n",
                 thread_name().c_str(), where.file_name(), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), where.function_name(), message.c_str());
    std::fflush(stderr);
    throw InternalFailure(std::move(message));
}

void resume_failure(std::string message) { throw InternalFailure(std::move(message)); }

void fail_index(std::size_t len, std::size_t index, std::source_location where) {
    fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
             std::to_string(index),
         where);
}

}  // namespace kiv
