// Exceptions moved as objects: taken out of the interpreter and set again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "codec/ref.h"

namespace molvar {

// The pending exception, taken out of the interpreter (normalised), or an
// empty Ref when none is set.
Ref fetchException();

// Sets `error` (an exception instance) as the pending exception.
void raiseException(Ref error);

}  // namespace molvar
