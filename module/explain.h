// The companion's dumps says where a value it refuses is and why. The
// encoder records its refusal where it raises it (codec/refusal.h): the
// kind, the item and the path. This formats that record; cMolvar's own
// fixed texts, which its callers may match, stay cMolvar's.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "codec/context.h"
#include "codec/refusal.h"

namespace molvar {

// After a failed encode that `refusal` was lent to: when the pending
// exception is the refusal recorded (a type the format cannot carry, a
// float that is not finite, lists nested too deep or containing
// themselves, and under strict what no reader takes), replaces it with one
// that names the item's path, as "[1][0]", and what to do. Any other
// exception (a converter's, a MemoryError) stays as it was raised. Returns null.
PyObject* explainEncodeError(const Context& context, const Refusal& refusal);

}  // namespace molvar
