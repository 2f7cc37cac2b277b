// encode(value, buf): appends the wire form of one value to a cMolvarBuf.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "codec/context.h"

struct cMolvarBuf;

namespace molvar {

// Lists nested deeper than this raise RecursionError, whatever
// sys.setrecursionlimit says: the encoder recurses once per level, and a
// level takes 96 bytes of native stack (-O2; up to 544 under ASan, through a
// list subclass), so the deepest value takes under 3 MB of the 8 MB that a
// thread gets by default.
constexpr int MAX_DEPTH = 5000;

// encode(value, buf), the module function of `context`'s module: buf must
// be of the context's buffer type.
PyObject* encodeCall(Context& context, PyObject* const* args, Py_ssize_t nargs);

// Appends the wire form of `obj` to `buf`: 0, or -1 with the exception set
// (what was appended before the failure stays). The buffer's context says
// what the encoder needs from outside; the caller holds the buffer's lock.
int cMolvar_encodeObject(PyObject* obj, cMolvarBuf* buf);

// The wire form of `bytes`, an exact bytes object of at most SIZE_LIMIT
// bytes, as a new bytes object made at its size with one copy; null, with
// MemoryError set. A byte string alone (dumps) would otherwise be copied
// twice, into a buffer's block and out of it.
PyObject* cMolvar_encodeLoneBytes(PyObject* bytes);

}  // namespace molvar
