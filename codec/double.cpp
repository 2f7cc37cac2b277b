// Python.h first, before any standard header, as CPython requires: its
// pyconfig.h defines _POSIX_C_SOURCE and _XOPEN_SOURCE, which a C library's
// headers would otherwise have set to other values already.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "codec/double.h"

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
