#include "codec/context.h"

#include <utility>

#include "codec/state.h"
#include "codec/string_cache.h"

namespace molvar {

namespace {

// Destroyed states a context keeps (a caller that makes one state per
// message would otherwise allocate and free a state and its frames each
// time). A build with no global lock keeps none, and no cache: many threads
// share its contexts, and its collector walks every object its heaps hold.
#ifdef Py_GIL_DISABLED
constexpr int32_t MAX_KEPT_STATES = 0;
constexpr bool USE_CACHE = false;
#else
constexpr int32_t MAX_KEPT_STATES = 2;
constexpr bool USE_CACHE = true;
#endif

int intern(PyObject*& name, const char* text)
{
    if (name == nullptr && (name = PyUnicode_InternFromString(text)) == nullptr) {
        return -1;
    }
    return 0;
}

// The object `dict[key]`, a strong reference, or null (with the exception
// set only when the lookup failed). A str key runs host code only where
// the dict holds a key of another type with its hash, whose __eq__ it
// calls; the lookup then finds what that code left.
PyObject* lookUp(PyObject* dict, PyObject* key)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = nullptr;
    return PyDict_GetItemRef(dict, key, &found) < 0 ? nullptr : found;
#else
    // With the global lock held, nothing can rebind it between the two calls.
    PyObject* found = PyDict_GetItemWithError(dict, key);
    Py_XINCREF(found);
    return found;
#endif
}

}  // namespace

int contextInit(Context& context)
{
    if (intern(context.toDigitsName, "pyint2b128") < 0 || intern(context.fromDigitsName, "pyb1282int") < 0 ||
        intern(context.writeName, "write") < 0 || intern(context.stripName, "strip") < 0 ||
        intern(context.argsName, "args") < 0 || intern(context.bitLengthName, "bit_length") < 0 ||
        intern(context.toBytesName, "to_bytes") < 0) {
        return -1;
    }
    if (USE_CACHE && context.cache == nullptr && (context.cache = newStringCache()) == nullptr) {
        return -1;
    }
    context.maxKeptStates = MAX_KEPT_STATES;
    return 0;
}

int contextTraverse(Context& context, visitproc visit, void* arg)
{
    Py_VISIT(context.errorClass);
    Py_VISIT(context.bufType);
    Py_VISIT(context.stateType);
    Py_VISIT(context.converterHost);
    Py_VISIT(context.converterNamespace);
    Py_VISIT(context.ownToDigits);
    Py_VISIT(context.ownFromDigits);
    return 0;
}

void contextClear(Context& context)
{
    // Nothing is kept from now on: a state destroyed later is freed.
    context.maxKeptStates = 0;
    freeKeptStates(context);
    freeStringCache(std::exchange(context.cache, nullptr));
    Py_CLEAR(context.errorClass);
    Py_CLEAR(context.bufType);
    Py_CLEAR(context.stateType);
    Py_CLEAR(context.converterHost);
    Py_CLEAR(context.converterNamespace);
    Py_CLEAR(context.ownToDigits);
    Py_CLEAR(context.ownFromDigits);
    Py_CLEAR(context.toDigitsName);
    Py_CLEAR(context.fromDigitsName);
    Py_CLEAR(context.writeName);
    Py_CLEAR(context.stripName);
    Py_CLEAR(context.argsName);
    Py_CLEAR(context.bitLengthName);
    Py_CLEAR(context.toBytesName);
}

// The converter is looked up in the host module's namespace, where a
// module's attributes live, which skips the walk through the module type
// that a full attribute lookup makes first; that lookup runs only when the
// name is absent (and raises the module's own AttributeError, or runs a
// module __getattr__).
Converter converterInUse(Context& context, bool toDigits)
{
    PyObject* own = toDigits ? context.ownToDigits : context.ownFromDigits;
    Converter converter;
    bool inNamespace = true;
    if (context.converterHost == nullptr) {
        if (own == nullptr) {
            PyErr_SetString(PyExc_SystemError, "no converter for big integers");
        }
        converter.callable = Ref::borrow(own);
    } else {
        PyObject* name = toDigits ? context.toDigitsName : context.fromDigitsName;
        converter.callable = Ref::steal(lookUp(context.converterNamespace, name));
        inNamespace = static_cast<bool>(converter.callable);
        if (!converter.callable && !PyErr_Occurred()) {
            converter.callable = Ref::steal(PyObject_GetAttr(context.converterHost, name));
        }
    }
    converter.native = converter.callable && converter.callable.get() == own;
    converter.settled = converter.native && inNamespace;
    return converter;
}

}  // namespace molvar
