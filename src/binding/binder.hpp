// Binding a fast call's arguments to a function's parameters, and the
// conversions of scalar arguments with their argument note.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "binding/errors.hpp"
#include "binding/lazy.hpp"

namespace kiv {

// What binding needs of a function: its name and parameters. Every
// positional parameter is required, every keyword-only one optional.
struct ParameterList {
    const char* function_name;
    std::span<const char* const> positional;
    std::span<const char* const> keyword_only;
};

// One exported function described once: its name, the docstring with its
// text signature, its parameters. Slots are the parameters in that order,
// looked up by name when the wrapper is compiled, so that a parameter moved
// in the list cannot silently pass its value to another.
template <std::size_t Positional, std::size_t KeywordOnly>
struct Signature {
    static constexpr std::size_t kSlots = Positional + KeywordOnly;

    const char* name;
    const char* doc;
    std::array<const char*, Positional> positional;
    std::array<const char*, KeywordOnly> keyword_only;

    consteval std::size_t slot(std::string_view parameter) const {
        for (std::size_t k = 0; k < Positional; ++k) {
            if (parameter == positional[k]) return k;
        }
        for (std::size_t k = 0; k < KeywordOnly; ++k) {
            if (parameter == keyword_only[k]) return Positional + k;
        }
        throw "no such parameter";  // not a constant expression: the wrapper does not compile
    }
    ParameterList parameters() const { return {name, positional, keyword_only}; }
};

// Fills slots (positional, then keyword-only) with borrowed references, null
// where not given; throws the binding TypeError.
void bind_arguments(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots);

// A call's arguments in the slots of its signature.
template <std::size_t Slots>
struct BoundArguments {
    std::array<PyObject*, Slots> slots{};

    PyObject* operator[](std::size_t slot) const { return slots[slot]; }
};

template <std::size_t Positional, std::size_t KeywordOnly>
BoundArguments<Positional + KeywordOnly> bind(const Signature<Positional, KeywordOnly>& signature,
                                              PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments<Positional + KeywordOnly> bound;
    bind_arguments(signature.parameters(), args, nargs, kwnames, bound.slots);
    return bound;
}

// The body of an exported function, run inside the entry guard.
using CallBody = Ref (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Not noexcept: the exit unwinding (py_ref.hpp).
template <CallBody Body>
PyObject* guarded_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return Body(args, nargs, kwnames); });
}

// The method definition of a function described by its signature.
template <CallBody Body, const auto& S>
PyMethodDef method_def() {
    return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_entry<Body>)),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, S.doc};
}

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
