// What every module built from the codec holds: the globals and the two
// type objects. Each library built from the codec has its own copies.
#include "module/module.h"

#include "codec/buffer.h"
#include "codec/state.h"

namespace {

PyMethodDef bufMethods[] = {
    {"write", cMolvarBuf_write, METH_VARARGS, nullptr},
    {"clear", cMolvarBuf_clear, METH_NOARGS, nullptr},
    {"get", cMolvarBuf_get, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* cMolvar_module = nullptr;
PyObject* cMolvar_moduleDict = nullptr;
PyObject* cMolvar_errorClass = nullptr;
PyObject* cMolvar_companionToDigits = nullptr;
PyObject* cMolvar_companionFromDigits = nullptr;

void cMolvar_bindCompanionConverters(PyObject* companion)
{
    if (cMolvar_companionToDigits != nullptr) {
        return;
    }
    PyObject* toDigits = PyObject_GetAttrString(companion, "pyint2b128");
    PyObject* fromDigits = toDigits != nullptr ? PyObject_GetAttrString(companion, "pyb1282int") : nullptr;
    if (fromDigits == nullptr) {
        Py_XDECREF(toDigits);
        PyErr_Clear();  // the converters stay unknown: every use calls the installed one
        return;
    }
    cMolvar_companionToDigits = toDigits;
    cMolvar_companionFromDigits = fromDigits;
}

// Static types, filled in by cMolvar_readyTypes (the slots not set there stay 0).
PyTypeObject cMolvarBuf_Type{};
PyTypeObject cMolvarState_Type{};

int cMolvar_readyTypes()
{
    if (cMolvarBuf_Type.tp_name == nullptr) {
        // What PyVarObject_HEAD_INIT would set: one reference, held by the module.
        Py_SET_REFCNT(reinterpret_cast<PyObject*>(&cMolvarBuf_Type), 1);
        Py_SET_REFCNT(reinterpret_cast<PyObject*>(&cMolvarState_Type), 1);

        cMolvarBuf_Type.tp_name = "cMolvar.cMolvarBuf";
        cMolvarBuf_Type.tp_basicsize = sizeof(cMolvarBuf);
        cMolvarBuf_Type.tp_dealloc = cMolvarBuf_dealloc;
        cMolvarBuf_Type.tp_getattro = cMolvarBuf_getattr;
        cMolvarBuf_Type.tp_flags = Py_TPFLAGS_DEFAULT;
        cMolvarBuf_Type.tp_methods = bufMethods;

        cMolvarState_Type.tp_name = "cMolvar.cMolvarState";
        cMolvarState_Type.tp_basicsize = sizeof(cMolvarState);
        cMolvarState_Type.tp_dealloc = cMolvarState_dealloc;
        cMolvarState_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        cMolvarState_Type.tp_traverse = molvar::cMolvarState_traverse;
        cMolvarState_Type.tp_clear = molvar::cMolvarState_clear;
    }
    return PyType_Ready(&cMolvarBuf_Type) < 0 || PyType_Ready(&cMolvarState_Type) < 0 ? -1 : 0;
}

namespace molvar {

Ref fetchException()
{
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return Ref();
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

void raiseException(Ref error)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.get()));
    Py_INCREF(type);
    PyObject* traceback = PyException_GetTraceback(error.get());  // new reference, or null
    PyErr_Restore(type, error.release(), traceback);
#endif
}

}  // namespace molvar
