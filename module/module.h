// The module surface: the globals set at start and the two type objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Set once when the module is executed, and kept for the life of the process.
extern PyObject* cMolvar_module;       // the module; pyint2b128 and pyb1282int are looked up on it
extern PyObject* cMolvar_moduleDict;   // its namespace
extern PyObject* cMolvar_errorClass;   // MolvarError, the companion's or the local fallback

extern PyTypeObject cMolvarBuf_Type;
extern PyTypeObject cMolvarState_Type;

PyMODINIT_FUNC PyInit_cMolvar(void);  // PyMODINIT_FUNC carries extern "C" and the export
