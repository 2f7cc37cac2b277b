// encode(value, buf): appends the wire form of one value to a cMolvarBuf.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/export.h"

struct cMolvarBuf;

MOLVAR_EXPORT PyObject* cMolvar_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

namespace molvar {

// Appends the wire form of `obj` to `buf`: 0, or -1 with the exception set
// (what was appended before the failure stays). For the module functions of
// every extension built on the codec; not exported from the library.
int cMolvar_encodeObject(PyObject* obj, cMolvarBuf* buf);

}  // namespace molvar
