// Short byte strings that repeat, decoded once: a small cache keyed by
// content, for the words a messaging layer sends again and again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace molvar {

// The longest string the cache keeps.
constexpr Py_ssize_t CACHED_STRING_SIZE = 32;

// A bytes object holding data[0, size), 2 <= size <= CACHED_STRING_SIZE:
// the cached one when the same bytes came recently, else a new one.
// Returns a new reference, or null with the exception set.
PyObject* cMolvar_cachedBytes(const unsigned char* data, Py_ssize_t size);

// Short strings to make directly before the cache looks again, while it
// stands aside (it found too few repeats). Only touched with the
// interpreter lock held.
extern int32_t cMolvar_cachePause;

// The bytes object of data[0, size) (a new reference, or null).
inline PyObject* cMolvar_bytes(const unsigned char* data, Py_ssize_t size)
{
    if (size >= 2 && size <= CACHED_STRING_SIZE) {
        if (cMolvar_cachePause == 0) {
            return cMolvar_cachedBytes(data, size);
        }
        --cMolvar_cachePause;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), size);
}

}  // namespace molvar
