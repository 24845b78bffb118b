#include "binding/binder.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

namespace {

Lazy<PyObject*> add_note_name;

std::string full_name(const ParameterList& parameters) { return std::string(parameters.function_name) + "()"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ',';
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

[[noreturn]] void binding_error(const ParameterList& parameters, std::string rest) {
    throw PyError(PyExc_TypeError, full_name(parameters) + rest);
}

std::string count_of(std::size_t n, const char* singular, const char* plural) {
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

}  // namespace

PyObject* interned(Lazy<PyObject*>& cell, const char* text) {
    return cell.get([&] { return owned_or_fail(PyUnicode_InternFromString(text)).release(); });
}

void bind_arguments(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t given = static_cast<std::size_t>(nargs);
    const std::size_t positional = parameters.positional.size();
    for (std::size_t i = 0; i < given && i < positional; ++i) slots[i] = args[i];
    if (given > positional) {
        binding_error(parameters, " takes " + std::to_string(positional) + " positional arguments but " +
                                      std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    }

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* keyword = PyTuple_GetItem(kwnames, i);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
        if (text == nullptr) {
            PyErr_Clear();
            binding_error(parameters, " got an unexpected keyword argument '" + object_str(keyword) + "'");
        }
        const std::string_view name(text, static_cast<std::size_t>(size));
        std::size_t slot = 0;
        while (slot < slots.size() && name != (slot < positional ? parameters.positional[slot]
                                                                 : parameters.keyword_only[slot - positional])) {
            ++slot;
        }
        if (slot == slots.size()) {
            binding_error(parameters, " got an unexpected keyword argument '" + object_str(keyword) + "'");
        }
        if (slots[slot] != nullptr) {
            binding_error(parameters, " got multiple values for argument '" + std::string(name) + "'");
        }
        slots[slot] = args[nargs + i];
    }

    if (given >= positional) return;
    std::vector<std::string_view> missing;
    for (std::size_t k = 0; k < positional; ++k) {
        if (slots[k] == nullptr) missing.push_back(parameters.positional[k]);
    }
    if (!missing.empty()) {
        binding_error(parameters, " missing " + count_of(missing.size(), "required positional argument",
                                                    "required positional arguments") +
                                      ": " + quoted_list(missing));
    }
}

void add_argument_note(PyError& error, const char* name) {
    const std::string text = std::string("while processing '") + name + "'";
    Ref note = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!note) {
        PyError failure = PyError::fetch();
        fail_with("could not create an argument note", failure);
    }
    PyObject* call[] = {error.normalized(), note.get()};
    Ref result = Ref::steal(PyObject_VectorcallMethod(
        interned(add_note_name, "add_note"), call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) PyErr_Clear();
}

double float_argument(PyObject* slot, const char* name, double default_value) {
    if (slot == nullptr) return default_value;
    const double value = PyFloat_AsDouble(slot);
    if (value == -1.0 && PyErr_Occurred()) {
        PyError error = PyError::fetch();
        add_argument_note(error, name);
        throw error;
    }
    return value;
}

namespace {

// An int (bool included) or an __index__ object, read by `read`.
template <class Int, class Read>
Int integer_argument(PyObject* slot, const char* name, Int default_value, Read read) {
    if (slot == nullptr) return default_value;
    auto failed = [&]() -> PyError {
        PyError error = PyError::fetch();
        add_argument_note(error, name);
        return error;
    };
    Ref index;
    if (!PyLong_Check(slot)) {
        index = Ref::steal(PyNumber_Index(slot));
        if (!index) throw failed();
        slot = index.get();
    }
    const auto value = read(slot);
    if (value == static_cast<decltype(value)>(-1) && PyErr_Occurred()) throw failed();
    return static_cast<Int>(value);
}

}  // namespace

std::uint64_t u64_argument(PyObject* slot, const char* name, std::uint64_t default_value) {
    return integer_argument(slot, name, default_value, PyLong_AsUnsignedLongLong);
}

std::int64_t i64_argument(PyObject* slot, const char* name, std::int64_t default_value) {
    return integer_argument(slot, name, default_value, PyLong_AsLongLong);
}

}  // namespace kiv
