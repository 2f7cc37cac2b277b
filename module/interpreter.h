// One interpreter per process: the modules built from the codec keep their
// globals for the life of the process, bound by the main interpreter, so
// they refuse to be imported into a subinterpreter. Hosts that know the
// Py_mod_multiple_interpreters slot (3.12 on) refuse by it; older ones by
// cMolvar_refuseSubinterpreter, which every exec step calls first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

inline int cMolvar_refuseSubinterpreter()
{
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "cMolvar does not support subinterpreters");
        return -1;
    }
    return 0;
}

#ifdef Py_mod_multiple_interpreters
#define MOLVAR_SINGLE_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define MOLVAR_SINGLE_INTERPRETER_SLOT
#endif
