#pragma once

#include <cstdint>

#include "binding/python.hpp"
#include "tensor/f32_buffer.hpp"
#include "tensor/shape.hpp"

namespace quvarin::py {

// Conversions of Python values. Each throws PythonErrorSet with the
// interpreter's or its own exception pending; convert_argument adds the
// parameter's name to a TypeError.

// A non-str sequence of numbers, each converted to double, then to the
// nearest float32; a one-dimensional array or buffer read from its memory.
F32Buffer to_f32_buffer(PyObject* sequence);
// A non-str sequence of non-negative integers (ints or objects with __index__).
Shape to_shape(PyObject* sequence);
// A bool, or a NumPy bool scalar.
bool to_bool(PyObject* value);
// Anything the interpreter converts to a float.
double to_double(PyObject* value);
// Anything the interpreter converts to a signed 64-bit integer.
std::int64_t to_int64(PyObject* value);

}  // namespace quvarin::py
