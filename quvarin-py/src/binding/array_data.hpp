#pragma once

#include <optional>

#include "binding/python.hpp"
#include "tensor/f32_buffer.hpp"

namespace quvarin::py {

// The elements of a one-dimensional NumPy array, array.array or memoryview
// (exact types) of a plain numeric element type in native byte order, read
// straight from the object's memory at any stride. Each becomes the float32
// nearest to the float the interpreter makes of the item iteration would
// yield, so the result has the bits iterating the object gives. Nothing for
// any other object: iteration decides what it holds.
std::optional<F32Buffer> read_array_data(PyObject* data);

}  // namespace quvarin::py
