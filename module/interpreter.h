// Which interpreters a module runs in, and how.
//
// cMolvar has one module object per process, in the main interpreter only.
// It keeps its module object, namespace and error class in its context, a
// process-wide global (module/module.h). The first exec binds them, and
// they are never rebound, so:
// - every later import (after `del sys.modules[name]`, importlib.reload, or
//   a retry after an exec that failed part way, which then carries on) is
//   given that same module object: what host code installed into it stays;
// - subinterpreters are refused with ImportError before anything is made in
//   them: the globals would otherwise hand one interpreter's objects to
//   another. From 3.12 the slot below tells the loader so (it enforces it
//   only for isolated interpreters); createModuleOnce refuses every kind,
//   on every version.
//
// Use, for a module whose globals include `PyObject* theModule`:
//     PyObject* create(PyObject* spec, PyModuleDef* def)
//         { return molvar::createModuleOnce(spec, def, theModule); }
//     int exec(PyObject* module)
//         { if (everything is bound) return 0; if (theModule == nullptr) bind it to module; ... }
//     PyModuleDef_Slot slots[] = {{Py_mod_create, create}, {Py_mod_exec, exec},
//                                 MOLVAR_MAIN_INTERPRETER_ONLY {0, nullptr}};
//
// The companion's native module keeps its context in module state instead,
// with heap types, and runs in every interpreter, each with its own lock
// (MOLVAR_OWN_GIL_SUPPORTED).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX >= 0x030C0000
#define MOLVAR_MAIN_INTERPRETER_ONLY {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#define MOLVAR_OWN_GIL_SUPPORTED {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define MOLVAR_MAIN_INTERPRETER_ONLY
#define MOLVAR_OWN_GIL_SUPPORTED
#endif

// The module runs safely with no global lock (a free-threaded build): its
// objects are locked per call (codec/critical_section.h) and its contexts
// keep nothing that threads would share. From 3.13.
#if PY_VERSION_HEX >= 0x030D0000
#define MOLVAR_GIL_NOT_USED {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define MOLVAR_GIL_NOT_USED
#endif

namespace molvar {

// The flag that makes a heap type's attributes read-only, as a static
// type's are (Decoder.feed = None is refused). From 3.10; 3.9's heap types
// stay assignable.
#if PY_VERSION_HEX >= 0x030A0000
constexpr unsigned int IMMUTABLE_TYPE = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned int IMMUTABLE_TYPE = 0;
#endif

// A Py_mod_create function's body: a new reference to `bound` when an
// earlier import has bound it, else a new module named after `spec`.
inline PyObject* createModuleOnce(PyObject* spec, PyModuleDef* def, PyObject* bound)
{
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_Format(PyExc_ImportError, "module %s does not support loading in subinterpreters", def->m_name);
        return nullptr;
    }
    if (bound != nullptr) {
        Py_INCREF(bound);
        return bound;
    }
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) {
        return nullptr;
    }
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
}

}  // namespace molvar
