// Binding a fast call's arguments to a function's parameters, and the
// conversions of scalar arguments with their argument note.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "binding/errors.hpp"
#include "binding/lazy.hpp"

namespace kiv {

struct KeywordParameter {
    const char* name;
    bool required;
};

struct ParameterSpec {
    const char* function_name;
    std::span<const char* const> positional;
    std::span<const KeywordParameter> keyword_only;
    const char* class_name;  // null for module-level functions
    std::size_t positional_only;
    std::size_t required_positional;

    std::size_t slot_count() const { return positional.size() + keyword_only.size(); }
};

// Fills slots (positional, then keyword-only) with borrowed references, null
// where not given; throws the binding TypeError.
void bind_arguments(const ParameterSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots);

// Adds "while processing '{name}'" to the error's notes; never fails.
void add_argument_note(PyError& error, const char* name);

// PyFloat_AsDouble of the slot, or the default when the slot is empty.
double float_argument(PyObject* slot, const char* name, double default_value);
// An int (bool included) or an __index__ object as unsigned 64 bits.
std::uint64_t u64_argument(PyObject* slot, const char* name, std::uint64_t default_value);
// The same as signed 64 bits.
std::int64_t i64_argument(PyObject* slot, const char* name, std::int64_t default_value);

// An interned string made once per process.
PyObject* interned(Lazy<PyObject*>& cell, const char* text);

}  // namespace kiv
