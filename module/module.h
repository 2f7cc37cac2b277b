// cMolvar's module surface: its context, the globals set at start, the two
// static type objects and the library's exported entry points.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "codec/context.h"
#include "module/export.h"

// cMolvar's codec context, for the life of the process: the module runs in
// the main interpreter only (module/interpreter.h). It is set by the first
// exec of the module that succeeds and never reset. The codec's functions
// can first be called while that exec imports the companion: the error
// class is then the local fallback.
extern molvar::Context cMolvar_context;

// The globals, as the context holds them.
extern PyObject*& cMolvar_module;      // the module; pyint2b128 and pyb1282int are looked up on it
extern PyObject*& cMolvar_moduleDict;  // its namespace
extern PyObject*& cMolvar_errorClass;  // MolvarError, the companion's or the local fallback

extern PyTypeObject cMolvarBuf_Type;
extern PyTypeObject cMolvarState_Type;

// The library's exported entry points, reached through the function and
// type tables.
MOLVAR_EXPORT PyObject* cMolvar_dataReceived(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
MOLVAR_EXPORT PyObject* cMolvar_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
MOLVAR_EXPORT PyObject* cMolvarBuf_new(PyObject* self, PyObject* unused);
MOLVAR_EXPORT void cMolvarBuf_dealloc(PyObject* self);
MOLVAR_EXPORT PyObject* cMolvarBuf_getattr(PyObject* self, PyObject* name);
MOLVAR_EXPORT PyObject* cMolvarBuf_write(PyObject* self, PyObject* args);
MOLVAR_EXPORT PyObject* cMolvarBuf_clear(PyObject* self, PyObject* unused);
MOLVAR_EXPORT PyObject* cMolvarBuf_get(PyObject* self, PyObject* unused);
MOLVAR_EXPORT PyObject* cMolvarState_new(PyObject* self, PyObject* unused);
MOLVAR_EXPORT void cMolvarState_dealloc(PyObject* self);

PyMODINIT_FUNC PyInit_cMolvar(void);  // PyMODINIT_FUNC carries extern "C" and the export
