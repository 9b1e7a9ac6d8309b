#include "binding/arguments.hpp"

#include <string>

#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace quvarin::py {
namespace {

[[noreturn]] void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::size_t total = signature.parameters.size();
    std::string expected = signature.required == total
                               ? std::to_string(total)
                               : "from " + std::to_string(signature.required) + " to " + std::to_string(total);
    raise(PyExc_TypeError, std::string(signature.name) + "() takes " + expected +
                               " positional arguments but " + std::to_string(given) +
                               (given == 1 ? " was given" : " were given"));
}

[[noreturn]] void raise_missing(const Signature& signature, std::span<PyObject*> slots) {
    std::string names;
    std::size_t count = 0;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (slots[i] == nullptr) ++count;
    }
    std::size_t listed = 0;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (slots[i] != nullptr) continue;
        ++listed;
        if (listed > 1) names += (listed == count) ? (count > 2 ? ", and " : " and ") : ", ";
        names.append("'").append(signature.parameters[i]).append("'");
    }
    raise(PyExc_TypeError, std::string(signature.name) + "() missing " + std::to_string(count) +
                               " required positional argument" + (count == 1 ? "" : "s") + ": " + names);
}

void bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value, Py_ssize_t nargs,
                  std::span<PyObject*> slots) {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) != 0) continue;
        if (static_cast<Py_ssize_t>(i) < nargs || slots[i] != nullptr) {
            raise(PyExc_TypeError, std::string(signature.name) + "() got multiple values for argument '" +
                                       signature.parameters[i] + "'");
        }
        slots[i] = value;
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name, keyword);
    throw PythonErrorSet{};
}

void bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> slots) {
    if (nargs > static_cast<Py_ssize_t>(signature.parameters.size())) raise_too_many_positional(signature, nargs);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        slots[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    }
}

void require_all(const Signature& signature, std::span<PyObject*> slots) {
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (slots[i] == nullptr) raise_missing(signature, slots);
    }
}

}  // namespace

void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots) {
    nargs = PyVectorcall_NARGS(nargs);
    bind_positional(signature, args, nargs, slots);
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, slots);
        }
    }
    require_all(signature, slots);
}

void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    bind_positional(signature, &PyTuple_GET_ITEM(args, 0), nargs, slots);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            bind_keyword(signature, keyword, value, nargs, slots);
        }
    }
    require_all(signature, slots);
}

void raise_argument_error(const char* parameter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonErrorSet{};
    OwnedRef original = take_raised_exception();
    if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_raised_exception(std::move(original));
        throw PythonErrorSet{};
    }
    OwnedRef message = check_owned(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get()));
    OwnedRef replacement = check_owned(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    restore_raised_exception(std::move(replacement));
    throw PythonErrorSet{};
}

}  // namespace quvarin::py
