#pragma once

#include "binding/python.hpp"

namespace quvarin::py {

// Raises TypeError "'{type}' object is not an instance of '{expected}'", or
// "'None' is not an instance of '{expected}'" for None, {type} being the
// qualified name of the object's type.
[[noreturn]] void raise_not_an_instance(PyObject* object, const char* expected);

}  // namespace quvarin::py
