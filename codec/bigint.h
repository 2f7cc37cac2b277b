// Big integers natively: the digits that the companion's converters write
// and read (base 128, least significant first, no trailing zero digit),
// made and read here when those converters are the ones installed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

struct cMolvarBuf;

namespace molvar {

// Appends the digits of the magnitude of `value`, an exact int. 0, or -1
// with the exception set.
int cMolvar_writeBigDigits(cMolvarBuf* buf, PyObject* value);

// The int of `magnitude`, negated if `negative`; or null with the
// exception set.
PyObject* cMolvar_intFromMagnitude(uint64_t magnitude, bool negative);

// The int that `count` digit bytes denote, negated if `negative`; or null
// with the exception set. The reader passes at most HEADER_LIMIT digits; more
// raise SystemError.
PyObject* cMolvar_readBigDigits(const unsigned char* digits, Py_ssize_t count, bool negative);

}  // namespace molvar
