// The companion's native module, kestrix.vantle.molvar._native: dumps,
// loads and Decoder over the same codec as cMolvar.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "module/ref.h"

namespace molvar {

extern PyTypeObject Decoder_Type;

// A new MolvarError whose message is "byte offset N: <message>", with its
// `offset` and `values` attributes set (`values` may be null: an empty list).
Ref locatedError(int64_t offset, PyObject* message, PyObject* values);

// Raises the located MolvarError of `text` at `offset`. Returns null.
PyObject* raiseAt(int64_t offset, const char* text);

// Whether a decoding failure is one that the API reports as a MolvarError
// at an offset: the codec's own refusals (MolvarError, and SystemError for
// its header limit and for a list count the list constructor refuses).
bool isDecodingError(PyObject* error);

// locatedError for a decoding failure `error`: its message, stripped, or
// its class name when it has none; `error` becomes the new one's cause.
Ref locate(Ref error, int64_t offset, PyObject* values);

}  // namespace molvar
