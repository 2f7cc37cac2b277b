#include "codec/exception.h"

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
