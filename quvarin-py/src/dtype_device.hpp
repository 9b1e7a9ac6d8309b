#pragma once

#include <optional>

#include "binding/python.hpp"
#include "tensor/dtype.hpp"

namespace quvarin::py {

// The DType and Device classes; each type object is built on first use.
PyTypeObject* dtype_type();
PyTypeObject* device_type();

// A new DType object holding value.
PyObject* new_dtype_object(DType value);

// None or a DType object; anything else is a TypeError naming 'DType'.
std::optional<DType> to_optional_dtype(PyObject* value);
// None or a Device object; anything else is a TypeError naming 'Device'.
void check_optional_device(PyObject* value);

}  // namespace quvarin::py
