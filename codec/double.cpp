#include "codec/double.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace molvar {

int cMolvar_packDouble(double x, unsigned char* out)
{
    switch (packDouble(x, out)) {
    case PackStatus::ok:
        return 0;
    case PackStatus::outOfRange:
        PyErr_SetString(PyExc_SystemError, "frexp() result out of range");
        return -1;
    case PackStatus::tooLarge:
        break;
    }
    PyErr_SetString(PyExc_OverflowError, "float too large to pack with d format");
    return -1;
}

}  // namespace molvar
