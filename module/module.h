// The module surface: the globals set at start and the two type objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/ref.h"

// Bound by the first exec of the module that succeeds, never rebound, and
// kept for the life of the process (module/interpreter.h). The codec's
// functions can first be called while that exec imports the companion:
// the error class is then the local fallback.
extern PyObject* cMolvar_module;       // the module; pyint2b128 and pyb1282int are looked up on it
extern PyObject* cMolvar_moduleDict;   // its namespace
extern PyObject* cMolvar_errorClass;   // MolvarError, the companion's or the local fallback

// The companion's own converters, kept to recognise them when they are the
// ones installed in cMolvar: the codec then does their work natively, with
// the same result. Null where they could not be found.
extern PyObject* cMolvar_companionToDigits;    // kestrix.vantle.molvar.pyint2b128
extern PyObject* cMolvar_companionFromDigits;  // kestrix.vantle.molvar.pyb1282int

// Keeps the converters of `companion` (once; a failure leaves them unknown).
void cMolvar_bindCompanionConverters(PyObject* companion);

namespace molvar {

// The pending exception, taken out of the interpreter (normalised), or an
// empty Ref when none is set.
Ref fetchException();

// Sets `error` (an exception instance) as the pending exception.
void raiseException(Ref error);

}  // namespace molvar

// Interns `text` into `name` on first use, kept for the life of the
// process (a failed first use is tried again at the next). 0, or -1.
inline int cMolvar_intern(PyObject*& name, const char* text)
{
    if (name == nullptr && (name = PyUnicode_InternFromString(text)) == nullptr) {
        return -1;
    }
    return 0;
}

// PyObject_GetAttrString, with the name interned by cMolvar_intern.
// Returns a new reference, or null.
inline PyObject* cMolvar_getAttr(PyObject* object, const char* text, PyObject*& name)
{
    return cMolvar_intern(name, text) < 0 ? nullptr : PyObject_GetAttr(object, name);
}

// The converter named `text` installed in cMolvar, looked up at each use:
// in the module's namespace, where a module's attributes live, which skips
// the walk through the module type that a full attribute lookup makes
// first; that lookup runs only when the name is absent (and raises the
// module's own AttributeError, or runs a module __getattr__). `inNamespace`
// (optional) tells whether it was found in the namespace. A new reference,
// or null.
inline PyObject* cMolvar_converter(const char* text, PyObject*& name, bool* inNamespace = nullptr)
{
    if (cMolvar_intern(name, text) < 0) {
        return nullptr;
    }
    PyObject* found = PyDict_GetItemWithError(cMolvar_moduleDict, name);  // borrowed; a str key runs no host code
    if (inNamespace != nullptr) {
        *inNamespace = found != nullptr;
    }
    if (found != nullptr) {
        Py_INCREF(found);
        return found;
    }
    return PyErr_Occurred() ? nullptr : PyObject_GetAttr(cMolvar_module, name);
}

extern PyTypeObject cMolvarBuf_Type;
extern PyTypeObject cMolvarState_Type;

// Readies both types (once; later calls find them ready). 0, or -1 with
// the exception set.
int cMolvar_readyTypes();

PyMODINIT_FUNC PyInit_cMolvar(void);  // PyMODINIT_FUNC carries extern "C" and the export
