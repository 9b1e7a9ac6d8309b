#pragma once

#include "binding/python.hpp"

namespace quvarin::py {

// The module functions zeros, ones and tensor.
extern PyMethodDef zeros_definition;
extern PyMethodDef ones_definition;
extern PyMethodDef tensor_definition;

}  // namespace quvarin::py
