// The companion's dumps says where a value it refuses is and why: the
// codec's own refusals (cMolvar's, whose texts its callers may match) are
// restated after the fact, from a walk of the value in the encoder's order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "codec/context.h"

namespace molvar {

// After a failed encode of `value`: when the pending exception is one of
// the encoder's refusals (a type the format cannot carry, a float that is
// not finite, lists nested too deep or containing themselves), replaces it
// with one that names the item's path, as "[1][0]", and what to do; other
// exceptions stay as they are. Returns null.
PyObject* explainEncodeError(const Context& context, PyObject* value);

// The writer's opt-in check that no reader would refuse `value`: ints of
// 2**448 and more (in magnitude), lists and byte strings of more than
// 655360 items or bytes. 0, or -1 with MolvarError naming the limit and the path.
int checkStrict(const Context& context, PyObject* value);

}  // namespace molvar
