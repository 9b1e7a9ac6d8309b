#pragma once

#include <span>

#include "binding/python.hpp"

namespace quvarin::py {

// The method groups of the Tensor class, merged into one table when the
// type object is built.
std::span<const PyMethodDef> tensor_core_methods();
std::span<const PyMethodDef> tensor_autograd_methods();
std::span<const PyMethodDef> tensor_indexing_methods();
std::span<const PyMethodDef> tensor_interop_methods();

// Slot functions defined beside their method groups.
PyObject* tensor_add(PyObject* left, PyObject* right);
PyObject* tensor_multiply(PyObject* left, PyObject* right);
PyObject* tensor_subscript(PyObject* self, PyObject* key);
int tensor_assign_subscript(PyObject* self, PyObject* key, PyObject* value);
extern PyGetSetDef tensor_properties[];

}  // namespace quvarin::py
