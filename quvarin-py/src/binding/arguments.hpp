#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>

#include "binding/errors.hpp"
#include "binding/python.hpp"

namespace quvarin::py {

// The parameters of one function or method: all positional-or-keyword, the
// first `required` of them required.
struct Signature {
    const char* name;  // as it appears in messages: "zeros", "Tensor.matmul"
    std::span<const char* const> parameters;
    std::size_t required;
};

// Binds vectorcall arguments to the signature's parameters: slots[i] becomes
// a borrowed reference to parameter i's value, or nullptr when it was not
// given. Throws PythonErrorSet with the binding TypeError on failure.
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots);

// The same for a tuple and an optional dict (tp_new).
void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots);

// Called with a conversion's exception pending: a TypeError (exactly that
// class) is replaced by TypeError "argument '{name}': {message}" keeping the
// original's __cause__; any other exception stays as it is. Always throws.
[[noreturn]] void raise_argument_error(const char* parameter);

// Runs convert(value); a failure is reported against the parameter's name.
template <class Convert>
auto convert_argument(const char* parameter, PyObject* value, Convert&& convert) {
    try {
        return convert(value);
    } catch (const PythonErrorSet&) {
        raise_argument_error(parameter);
    }
}

}  // namespace quvarin::py

namespace quvarin::py {

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// PyMethodDef stores every calling convention as a PyCFunction.
inline PyCFunction as_method(FastcallFunction function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace quvarin::py
