#include "module/shared.h"

namespace molvar {

void bindCompanionConverters(Context& context, PyObject* companion)
{
    if (context.ownToDigits != nullptr) {
        return;
    }
    Ref toDigits = Ref::steal(PyObject_GetAttrString(companion, "pyint2b128"));
    Ref fromDigits = toDigits ? Ref::steal(PyObject_GetAttrString(companion, "pyb1282int")) : Ref();
    if (!fromDigits) {
        PyErr_Clear();  // the converters stay unknown: every use calls the installed one
        return;
    }
    context.ownToDigits = toDigits.release();
    context.ownFromDigits = fromDigits.release();
}

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
