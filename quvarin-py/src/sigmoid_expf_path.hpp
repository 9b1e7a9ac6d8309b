#pragma once

#include "binding/python.hpp"

namespace quvarin::py {

// The private module function _sigmoid_expf_path(): which expf sigmoid uses
// in this process and why, for the benchmarks.
extern PyMethodDef sigmoid_expf_path_definition;

}  // namespace quvarin::py
