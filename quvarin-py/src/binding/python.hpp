#pragma once

// The one include of the CPython API for the whole extension.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
