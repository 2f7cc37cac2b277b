// encode(value, buf): appends the wire form of one value to a cMolvarBuf.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/export.h"

MOLVAR_EXPORT PyObject* cMolvar_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
