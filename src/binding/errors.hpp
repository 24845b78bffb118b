// How failures travel inside the module. Ordinary errors are PyError, a
// deferred Python exception thrown up to the entry guard; broken invariants
// are InternalFailure (kiv/core/failure.hpp). Only the guard turns either
// into the interpreter's pending exception.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <source_location>
#include <string>
#include <string_view>

#include "binding/py_ref.hpp"
#include "kiv/core/failure.hpp"

namespace kiv {

class PyError {
public:
    // A not yet instantiated exception: its type and message.
    PyError(PyObject* type, std::string message);
    // An exception object that already exists.
    static PyError from_value(Ref value);

    // Takes the interpreter's pending exception after a call reported failure.
    // A PanicException fetched back resumes as an internal failure instead.
    static PyError fetch();

    // The exception instance, created now if it was deferred.
    PyObject* normalized();
    // Memory exhaustion is raised as MemoryError wherever it happens: throws
    // this error if it is one, returns otherwise.
    void rethrow_memory_error();
    // Makes it the pending exception; the error is spent afterwards.
    void restore();

private:
    PyError() = default;
    Ref type_;
    std::string message_;
    Ref value_;
};

// Throws the pending exception; for calls that signal failure out of band.
[[noreturn]] void throw_pending();

// The two ways of taking a call's new reference, for the two meanings of null:
// - owned_or_pending_error: null is an ordinary failure (an import, a
//   method of the caller's object): its pending exception is thrown as Python
//   code would raise it;
// - owned_or_fail: null breaks an invariant (the call must return an object):
//   an internal failure, or the MemoryError that caused it.
inline Ref owned_or_pending_error(PyObject* result) {
    if (result == nullptr) throw_pending();
    return Ref::steal(result);
}
Ref owned_or_fail(PyObject* result, std::source_location where = std::source_location::current());

// "{what}: PyErr { ... }" as an internal failure; a MemoryError is thrown
// as itself instead.
[[noreturn]] void fail_with(std::string_view what, PyError& error,
                            std::source_location where = std::source_location::current());

// Appends a note to the exception; never fails: a failure on the way is
// discarded and the exception stays as it was.
void add_note(PyObject* exception, std::string_view text);

// "'{type}' object is not an instance of '{expected}'" ('None' is ...).
PyError type_mismatch(PyObject* object, std::string_view expected);

// str() / repr() of an object as UTF-8, with the unprintable fallbacks.
std::string object_str(PyObject* object);
std::string object_repr(PyObject* object);
// A str object as UTF-8; lone surrogates become U+FFFD per invalid byte run.
std::string utf8_text(PyObject* str);

// "PyErr { type: T, value: V, traceback: B }"
std::string debug_rendering(PyError& error);

// Sets PanicException with (message,) as the pending exception, with the
// failure's note, if it has one.
void raise_internal_failure(const InternalFailure& failure);

// Runs the body of an entry point and turns what it throws into the pending
// exception. Lets the exit unwinding (py_ref.hpp) pass.
template <class Body>
PyObject* guarded(Body&& body) {
    struct Mark {
        bool outer = call_began_before_exit;
        Mark() noexcept { call_began_before_exit = Py_IsInitialized() != 0; }
        ~Mark() { call_began_before_exit = outer; }
    } mark;
    try {
        return body().release();
    } catch (PyError& error) {
        error.restore();
    } catch (const InternalFailure& failure) {
        raise_internal_failure(failure);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container asked for more than memory can hold
        PyErr_NoMemory();
    } catch (const std::exception&) {
        // Any other C++ exception ends the process (one of no standard type
        // too: no frame above catches it). Not catch (...): the exit
        // unwinding (py_ref.hpp).
        std::terminate();
    }
    return nullptr;
}

}  // namespace kiv
