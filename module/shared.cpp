#include "module/shared.h"

namespace molvar {

void bindCompanionConverters(Context& context, PyObject* companion)
{
    if (context.ownToDigits != nullptr) {
        return;
    }
    Ref toDigits = Ref::steal(PyObject_GetAttrString(companion, "pyint2b128"));
    Ref fromDigits = toDigits ? Ref::steal(PyObject_GetAttrString(companion, "pyb1282int")) : Ref();
    if (!fromDigits) {
        PyErr_Clear();  // the converters stay unknown: every use calls the installed one
        return;
    }
    context.ownToDigits = toDigits.release();
    context.ownFromDigits = fromDigits.release();
}

}  // namespace molvar
