// The module surface: the globals set at start and the two type objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Bound by the first exec of the module that succeeds, never rebound, and
// kept for the life of the process (module/interpreter.h). The codec's
// functions can first be called while that exec imports the companion:
// the error class is then the local fallback.
extern PyObject* cMolvar_module;       // the module; pyint2b128 and pyb1282int are looked up on it
extern PyObject* cMolvar_moduleDict;   // its namespace
extern PyObject* cMolvar_errorClass;   // MolvarError, the companion's or the local fallback

// PyObject_GetAttrString, with the name interned on first use and kept in
// `name` for the life of the process. Returns a new reference, or null.
inline PyObject* cMolvar_getAttr(PyObject* object, const char* text, PyObject*& name)
{
    if (name == nullptr && (name = PyUnicode_InternFromString(text)) == nullptr) {
        return nullptr;
    }
    return PyObject_GetAttr(object, name);
}

extern PyTypeObject cMolvarBuf_Type;
extern PyTypeObject cMolvarState_Type;

PyMODINIT_FUNC PyInit_cMolvar(void);  // PyMODINIT_FUNC carries extern "C" and the export
