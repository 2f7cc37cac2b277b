// dataReceived(state, data, callback): the incremental decoder.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/export.h"

MOLVAR_EXPORT PyObject* cMolvar_dataReceived(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
