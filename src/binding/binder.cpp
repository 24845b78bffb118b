#include "binding/binder.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

namespace {

Lazy<PyObject*> add_note_name;

std::string full_name(const ParameterSpec& signature) {
    std::string name;
    if (signature.class_name != nullptr) {
        name += signature.class_name;
        name += '.';
    }
    name += signature.function_name;
    return name + "()";
}

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

[[noreturn]] void binding_error(const ParameterSpec& signature, std::string rest) {
    throw PyError(PyExc_TypeError, full_name(signature) + rest);
}

std::string count_of(std::size_t n, const char* singular, const char* plural) {
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

}  // namespace

PyObject* interned(Lazy<PyObject*>& cell, const char* text) {
    return cell.get([&] { return check(PyUnicode_InternFromString(text)).release(); });
}

void bind_arguments(const ParameterSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t given = static_cast<std::size_t>(nargs);
    const std::size_t positional = signature.positional.size();
    for (std::size_t i = 0; i < given && i < positional; ++i) slots[i] = args[i];
    if (given > positional) {
        const std::string takes =
            positional == signature.required_positional
                ? std::to_string(positional)
                : "from " + std::to_string(signature.required_positional) + " to " + std::to_string(positional);
        binding_error(signature, " takes " + takes + " positional arguments but " + std::to_string(given) +
                                (given == 1 ? " was" : " were") + " given");
    }

    std::vector<std::string_view> positional_only_given;
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* keyword = PyTuple_GetItem(kwnames, i);
        PyObject* value = args[nargs + i];
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
        if (text == nullptr) {
            PyErr_Clear();
            binding_error(signature, " got an unexpected keyword argument '" + object_str(keyword) + "'");
        }
        const std::string_view name(text, static_cast<std::size_t>(size));
        auto fill = [&](std::size_t slot) {
            if (slots[slot] != nullptr) {
                binding_error(signature, " got multiple values for argument '" + std::string(name) + "'");
            }
            slots[slot] = value;
        };
        bool matched = false;
        for (std::size_t j = 0; j < signature.keyword_only.size() && !matched; ++j) {
            if (name == signature.keyword_only[j].name) {
                fill(positional + j);
                matched = true;
            }
        }
        for (std::size_t k = 0; k < positional && !matched; ++k) {
            if (name == signature.positional[k]) {
                if (k < signature.positional_only) {
                    positional_only_given.push_back(name);
                } else {
                    fill(k);
                }
                matched = true;
            }
        }
        if (!matched) binding_error(signature, " got an unexpected keyword argument '" + object_str(keyword) + "'");
    }
    if (!positional_only_given.empty()) {
        binding_error(signature, " got some positional-only arguments passed as keyword arguments: " +
                                quoted_list(positional_only_given));
    }

    std::vector<std::string_view> missing;
    if (given < signature.required_positional) {
        for (std::size_t k = 0; k < signature.required_positional; ++k) {
            if (slots[k] == nullptr) missing.push_back(signature.positional[k]);
        }
    }
    if (!missing.empty()) {
        binding_error(signature, " missing " + count_of(missing.size(), "required positional argument",
                                                   "required positional arguments") +
                                ": " + quoted_list(missing));
    }
    for (std::size_t j = 0; j < signature.keyword_only.size(); ++j) {
        if (signature.keyword_only[j].required && slots[positional + j] == nullptr) {
            missing.push_back(signature.keyword_only[j].name);
        }
    }
    if (!missing.empty()) {
        binding_error(signature, " missing " + count_of(missing.size(), "required keyword argument",
                                                   "required keyword arguments") +
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
