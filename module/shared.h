// What both modules built from the codec share: exceptions moved as
// objects, and the companion's converters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "codec/context.h"
#include "codec/ref.h"

namespace molvar {

// The pending exception, taken out of the interpreter (normalised), or an
// empty Ref when none is set.
Ref fetchException();

// Sets `error` (an exception instance) as the pending exception.
void raiseException(Ref error);

// Keeps the converters of `companion` in `context`, to recognise them when
// they are the ones in use (once; a failure leaves them unknown).
void bindCompanionConverters(Context& context, PyObject* companion);

}  // namespace molvar
