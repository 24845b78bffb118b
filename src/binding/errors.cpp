#include "binding/errors.hpp"

#include <cstdio>
#include <cstdlib>

#include "binding/lazy.hpp"
#include "kiv/core/matched_texts.hpp"

namespace kiv {

namespace {

constexpr const char* kPanicDoc =
    "\nThe exception raised when kiv's native code, called from Python, fails internally.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

Lazy<PyObject*> panic_type_cell;

PyObject* panic_exception_type() {
    return panic_type_cell.get([] {
        PyObject* type = PyErr_NewExceptionWithDoc(matched::kPanicType, kPanicDoc,
                                                   PyExc_BaseException, nullptr);
        if (type == nullptr) {
            PyError error = PyError::fetch();
            fail_with("Failed to initialize new exception type.", error);
        }
        return type;
    });
}

[[noreturn]] void abort_without_panic_type() {
    std::fputs("kiv: the internal-failure exception type cannot be created\n", stderr);
    std::abort();
}

// Resuming a PanicException that came back through Python code.
[[noreturn]] void resume_fetched_panic(Ref exception) {
    std::string message;
    if (Ref text = Ref::steal(PyObject_Str(exception.get()))) {
        message = utf8_text(text.get());
    } else {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    std::fputs("kiv: resuming an internal failure whose exception was fetched back from Python\n"
               "kiv: Python stack trace below:\n",
               stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    resume_failure(std::move(message));
}

std::string object_text(PyObject* object, PyObject* (*render)(PyObject*)) {
    if (Ref text = Ref::steal(render(object))) return utf8_text(text.get());
    PyErr_WriteUnraisable(object);
    if (Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)))) {
        return "<unprintable " + utf8_text(name.get()) + " object>";
    }
    PyErr_Clear();
    return "<unprintable object>";
}

void append_escaped(std::string& out, std::string_view text) {
    static const char* hex = "0123456789abcdef";
    for (unsigned char c : text) {
        switch (c) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\u{";
                    if (c >= 0x10) out += hex[c >> 4];
                    out += hex[c & 0xf];
                    out += '}';
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
}

// The traceback as PyTraceBack_Print writes it, quoted; or the fallback text.
std::string quoted_traceback(PyObject* traceback) {
    auto formatted = [&]() -> Ref {
        Ref io = Ref::steal(PyImport_ImportModule("io"));
        if (!io) return {};
        Ref buffer = Ref::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr));
        if (!buffer || PyTraceBack_Print(traceback, buffer.get()) < 0) return {};
        return Ref::steal(PyObject_CallMethod(buffer.get(), "getvalue", nullptr));
    }();
    if (formatted && PyUnicode_Check(formatted.get())) {
        std::string out = "\"";
        append_escaped(out, utf8_text(formatted.get()));
        return out + "\"";
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "traceback text is not a str");
    PyErr_WriteUnraisable(traceback);
    return "<unformattable " + object_repr(traceback) + ">";
}

}  // namespace

PyError::PyError(PyObject* type, std::string message)
    : type_(Ref::borrow(type)), message_(std::move(message)) {}

PyError PyError::from_value(Ref value) {
    PyError error;
    error.value_ = std::move(value);
    return error;
}

PyError PyError::fetch() {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) return PyError(PyExc_SystemError, "attempted to fetch exception but none was set");
    // Until the type exists nothing can be of it; making it here would
    // recurse when its own creation fails and fetches that error.
    PyObject* const* panic = panic_type_cell.peek();
    if (panic != nullptr && as_object(Py_TYPE(exception.get())) == *panic) {
        resume_fetched_panic(std::move(exception));
    }
    return from_value(std::move(exception));
}

void PyError::restore() {
    if (value_) {
        PyErr_SetRaisedException(value_.release());
        return;
    }
    PyObject* type = type_.get();
    if (PyType_Check(type) &&
        PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_BASE_EXC_SUBCLASS)) {
        Ref argument = Ref::steal(
            PyUnicode_DecodeUTF8(message_.data(), static_cast<Py_ssize_t>(message_.size()), "replace"));
        if (argument) PyErr_SetObject(type, argument.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    type_ = Ref();
}

PyObject* PyError::normalized() {
    if (!value_) {
        restore();
        value_ = Ref::steal(PyErr_GetRaisedException());
        if (!value_) fail("a deferred exception could not be instantiated");
    }
    return value_.get();
}

void PyError::rethrow_memory_error() {
    const bool memory = value_ ? PyErr_GivenExceptionMatches(value_.get(), PyExc_MemoryError) != 0
                               : type_.get() == PyExc_MemoryError;
    if (memory) throw std::move(*this);
}

void throw_pending() { throw PyError::fetch(); }

Ref owned_or_fail(PyObject* result, std::source_location where) {
    if (result != nullptr) return Ref::steal(result);
    if (PyErr_Occurred()) {
        PyError pending = PyError::fetch();
        pending.rethrow_memory_error();
        pending.restore();
        PyErr_WriteUnraisable(nullptr);
    }
    fail("PyObject pointer is null", where);
}

void fail_with(std::string_view what, PyError& error, std::source_location where) {
    error.rethrow_memory_error();
    std::string message(what);
    message += ": ";
    message += debug_rendering(error);
    fail(std::move(message), where);
}

void add_note(PyObject* exception, std::string_view text) {
    Ref note = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    Ref result = note ? Ref::steal(PyObject_CallMethod(exception, "add_note", "O", note.get())) : Ref();
    if (!result) PyErr_Clear();
}

PyError type_mismatch(PyObject* object, std::string_view expected) {
    std::string message;
    if (object == Py_None) {
        message = "'None' is not an instance of '";
    } else {
        message = "'";
        if (Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)))) {
            message += utf8_text(name.get());
        } else {
            PyErr_Clear();
            message += "<failed to extract type name>";
        }
        message += "' object is not an instance of '";
    }
    message += expected;
    message += "'";
    return PyError(PyExc_TypeError, std::move(message));
}

std::string utf8_text(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(data, size);
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    char* raw = nullptr;
    if (bytes && PyBytes_AsStringAndSize(bytes.get(), &raw, &size) == 0) {
        Ref lossy = Ref::steal(PyUnicode_DecodeUTF8(raw, size, "replace"));
        if (lossy) {
            if (const char* data = PyUnicode_AsUTF8AndSize(lossy.get(), &size)) return std::string(data, size);
        }
    }
    PyErr_Clear();
    return "\xef\xbf\xbd";
}

std::string object_str(PyObject* object) { return object_text(object, PyObject_Str); }
std::string object_repr(PyObject* object) { return object_text(object, PyObject_Repr); }

std::string debug_rendering(PyError& error) {
    PyObject* value = error.normalized();
    std::string out(matched::kErrorRenderingHead);
    out += object_repr(as_object(Py_TYPE(value)));
    out += ", value: ";
    out += object_repr(value);
    out += ", traceback: ";
    if (Ref traceback = Ref::steal(PyException_GetTraceback(value))) {
        out += "Some(" + quoted_traceback(traceback.get()) + ")";
    } else {
        out += "None";
    }
    return out + " }";
}

void raise_internal_failure(const InternalFailure& failure) {
    PyObject* type = nullptr;
    try {
        type = panic_exception_type();
    } catch (PyError& error) {
        // Out of memory, the MemoryError is the call's exception instead.
        try {
            error.rethrow_memory_error();
        } catch (PyError& memory) {
            memory.restore();
            return;
        }
        abort_without_panic_type();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return;
    } catch (const InternalFailure&) {
        // Not catch (...): the exit unwinding (py_ref.hpp).
        abort_without_panic_type();
    }
    std::string_view message = failure.message();
    if (message.empty()) message = "kiv's native code failed";
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    Ref args = text ? Ref::steal(PyTuple_Pack(1, text.get())) : Ref();
    if (!args) return;  // the MemoryError on the way stays pending
    PyErr_SetObject(type, args.get());
    if (failure.note().empty()) return;
    if (PyObject* exception = PyErr_GetRaisedException()) {
        add_note(exception, failure.note());
        PyErr_SetRaisedException(exception);
    }
}

}  // namespace kiv
