#pragma once

#include "binding/built_once.hpp"
#include "binding/python.hpp"

namespace quvarin::py {

// Builds a heap type from its description the first time it is asked for and
// keeps it for the life of the process. A failure is the aborting internal
// error "failed to create type object for `{name}`".
PyTypeObject* type_object_once(BuiltOnce<PyTypeObject>& built, PyType_Spec& description, const char* name);

}  // namespace quvarin::py
