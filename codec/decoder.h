// dataReceived(state, data, callback): the incremental decoder.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "codec/context.h"
#include "codec/state.h"

namespace molvar {

// dataReceived(state, data, callback), the module function of `context`'s
// module: state must be of the context's state type.
PyObject* dataReceivedCall(Context& context, PyObject* const* args, Py_ssize_t nargs);

// A list that lies whole in its chunk is made at its declared size and
// filled in place, and so are the lists inside it, up to this many levels
// below it; deeper ones, and a list the chunk cuts, go through the frames.
constexpr int WHOLE_LEVELS = 32;

// Where a decoding pass stopped short of the end of its bytes.
struct DecodeStop {
    Py_ssize_t at = 0;    // the first byte of the element it stopped at (incomplete or refused)
    Py_ssize_t need = 0;  // when incomplete: the fewest bytes that element can take, from `at`
};

// Decodes every complete element of data[0, len) into `state`. A top-level
// value goes to `receiver`: a callable, called with it, or a list, which it
// is appended to; or, with no receiver (null), into the state's `kept`.
// With `firstValueOnly`, the pass ends after the first top-level value.
// Returns the offset of the first byte not consumed (the start of an
// incomplete element, or the end), or -1 with the exception set; either way
// `stop` says where the pass stopped. The state's context says what the
// decoder needs from outside; the caller holds the state's lock.
Py_ssize_t cMolvar_decode(cMolvarState* state, const unsigned char* data, Py_ssize_t len, PyObject* receiver,
                          bool firstValueOnly, DecodeStop& stop);

}  // namespace molvar
