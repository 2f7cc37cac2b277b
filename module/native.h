// The companion's native module, kestrix.vantle.molvar._native: its state
// and what its one-call functions (native.cpp) and its Decoder (stream.cpp)
// share.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "codec/context.h"
#include "codec/ref.h"
#include "module/kept.h"

struct cMolvarBuf;

namespace molvar {

// The module's state: one per module object, so one per interpreter.
struct NativeState {
    Context context;
    PyObject* decoderType = nullptr;     // the Decoder heap type, owned
    Kept<cMolvarBuf> keptBuf;            // kept for the next dumps (owned)
    Kept<cMolvarState> keptState;        // kept for the next loads (owned)
};

// The Decoder type's spec (stream.cpp).
extern PyType_Spec decoderSpec;

// A new MolvarError whose message is "byte offset N: <message>", with its
// `offset` and `values` attributes set (`values` may be null: an empty list).
Ref locatedError(const Context& context, int64_t offset, PyObject* message, PyObject* values);

// Raises the located MolvarError of `text` at `offset`, carrying `values`
// (the values completed before it; null: none). Returns null.
PyObject* raiseAt(const Context& context, int64_t offset, const char* text, PyObject* values = nullptr);

// Whether a decoding failure is one that the API reports as a MolvarError
// at an offset: the codec's own refusals, which the companion's context
// raises as MolvarError. A host exception of any other class passes as it is.
bool isDecodingError(const Context& context, PyObject* error);

// locatedError for a decoding failure `error`: its message, stripped, or
// its class name when it has none; `error` becomes the new one's cause.
Ref locate(const Context& context, Ref error, int64_t offset, PyObject* values);

}  // namespace molvar
