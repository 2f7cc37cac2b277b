// What both modules built from the codec share: the companion's converters
// (and, through codec/exception.h, exceptions moved as objects).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "codec/context.h"
#include "codec/exception.h"
#include "codec/ref.h"

namespace molvar {

// Keeps the converters of `companion` in `context`, to recognise them when
// they are the ones in use (once; a failure leaves them unknown).
void bindCompanionConverters(Context& context, PyObject* companion);

}  // namespace molvar
