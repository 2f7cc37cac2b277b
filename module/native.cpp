// kestrix.vantle.molvar._native: the companion's one-call functions, dumps
// and loads, and its Decoder type (stream.cpp), over the codec that
// cMolvar is built from. One module object per process, in the main
// interpreter only, as for cMolvar (module/interpreter.h).
//
// This library holds its own copies of the codec's globals. They are bound
// by the first execution of the module and kept for the life of the
// process: the error class is the companion's MolvarError, and the module
// that the big-integer converters are looked up on is cMolvar, where the
// companion installs them. The companion imports this module last, when
// both are in place.
#include "module/native.h"

#include "codec/buffer.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/state.h"
#include "module/interpreter.h"
#include "module/module.h"
#include "module/ref.h"
#include "module/view.h"

namespace molvar {

Ref locatedError(int64_t offset, PyObject* message, PyObject* values)
{
    Ref text = Ref::steal(PyUnicode_FromFormat("byte offset %lld: %U", static_cast<long long>(offset), message));
    if (!text) {
        return Ref();
    }
    Ref error = Ref::steal(PyObject_CallOneArg(cMolvar_errorClass, text.get()));
    if (!error) {
        return Ref();
    }
    Ref offsetValue = Ref::steal(PyLong_FromLongLong(offset));
    Ref valueList = values != nullptr ? Ref::borrow(values) : Ref::steal(PyList_New(0));
    if (!offsetValue || !valueList || PyObject_SetAttrString(error.get(), "offset", offsetValue.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "values", valueList.get()) < 0) {
        return Ref();
    }
    return error;
}

bool isDecodingError(PyObject* error)
{
    return PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(cMolvar_errorClass)) ||
           PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(PyExc_SystemError));
}

Ref locate(Ref error, int64_t offset, PyObject* values)
{
    Ref text = Ref::steal(PyObject_Str(error.get()));
    if (!text) {
        return Ref();
    }
    Ref message = Ref::steal(PyObject_CallMethod(text.get(), "strip", nullptr));
    if (!message) {
        return Ref();
    }
    if (PyUnicode_GetLength(message.get()) == 0) {
        message = Ref::steal(PyUnicode_FromString(Py_TYPE(error.get())->tp_name));
        if (!message) {
            return Ref();
        }
    }
    Ref located = locatedError(offset, message.get(), values);
    if (located) {
        PyException_SetCause(located.get(), error.release());  // steals; also suppresses the context
    }
    return located;
}

PyObject* raiseAt(int64_t offset, const char* text)
{
    Ref message = Ref::steal(PyUnicode_FromString(text));
    Ref error = message ? locatedError(offset, message.get(), nullptr) : Ref();
    if (error) {
        raiseException(std::move(error));
    }
    return nullptr;
}

namespace {


// Raises the pending decoding failure of the element at `offset` as a
// located MolvarError; other exceptions pass unchanged. Returns null.
PyObject* raiseDecodingError(int64_t offset)
{
    Ref error = fetchException();
    if (isDecodingError(error.get())) {
        error = locate(std::move(error), offset, nullptr);
        if (!error) {
            return nullptr;
        }
    }
    raiseException(std::move(error));
    return nullptr;
}

// One buffer and one state kept for the next call, so that a call makes
// neither. A call takes the one kept (or makes its own, when the kept one
// is in use by a call further up the stack) and gives it back when no one
// else holds it; so a converter that keeps `write` keeps its buffer.
cMolvarBuf* keptBuf = nullptr;
cMolvarState* keptState = nullptr;

template <class T>
void giveBack(T*& kept, T* object)
{
    if (kept == nullptr && Py_REFCNT(object) == 1) {
        kept = object;
    } else {
        Py_DECREF(object);
    }
}

PyObject* dumps(PyObject*, PyObject* value)
{
    cMolvarBuf* buf = std::exchange(keptBuf, nullptr);
    if (buf == nullptr) {
        buf = reinterpret_cast<cMolvarBuf*>(cMolvarBuf_new(nullptr, nullptr));
        if (buf == nullptr) {
            return nullptr;
        }
        buf->disposable = true;
    }
    PyObject* result = nullptr;
    if (cMolvar_encodeObject(value, buf) == 0) {
        result = cMolvarBuf_take(buf);
    } else {
        cMolvarBuf_discard(buf);
    }
    giveBack(keptBuf, buf);
    return result;
}

PyObject* loads(PyObject*, PyObject* data)
{
    BytesView view;
    if (view.open(data) < 0) {
        return nullptr;
    }
    if (view.size() == 0) {
        return raiseAt(0, "incomplete input: no bytes");
    }
    cMolvarState* state = std::exchange(keptState, nullptr);
    if (state == nullptr && (state = reinterpret_cast<cMolvarState*>(cMolvarState_new(nullptr, nullptr))) == nullptr) {
        return nullptr;
    }
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(state));
    // The value is kept in the state, not handed to a receiver.
    DecodeStop stop;
    const Py_ssize_t consumed = cMolvar_decode(state, view.data(), view.size(), nullptr, true, stop);
    if (consumed < 0) {
        return raiseDecodingError(stop.at);
    }
    Ref value = Ref::steal(std::exchange(state->kept, nullptr));
    if (!value) {
        if (consumed < view.size()) {
            return raiseAt(consumed, "incomplete input: the element here needs more bytes");
        }
        return raiseAt(view.size(), "incomplete input: a list is still open at the end");
    }
    if (consumed < view.size()) {
        // A malformed element after the value is reported as such; the rest
        // is decoded only to find one.
        if (cMolvar_decode(state, view.data() + consumed, view.size() - consumed, nullptr, false, stop) < 0) {
            return raiseDecodingError(consumed + stop.at);
        }
        char text[96];
        PyOS_snprintf(text, sizeof text, "trailing bytes after the value (%zd of %zd bytes)", view.size() - consumed,
                      view.size());
        return raiseAt(consumed, text);
    }
    // A top-level value that ends the input leaves no list open: the state
    // can serve again.
    giveBack(keptState, reinterpret_cast<cMolvarState*>(owner.release()));
    return value.release();
}

PyDoc_STRVAR(dumps_doc,
             "dumps(value, /)\n--\n\n"
             "Return the wire bytes of ``value``.\n\n"
             "``value`` is an int, float, bytes, or a list or tuple of such values,\n"
             "nested up to 5000 deep. Raises ``MolvarError`` for a type the wire cannot\n"
             "carry (str, None, dict, ...), ``SystemError`` for infinities and NaN,\n"
             "``RuntimeError`` if a list changes size while it is encoded, and\n"
             "``RecursionError`` for lists nested more than 5000 deep or containing\n"
             "themselves. A result of 32 KiB or more is handed over, not copied again.");

PyDoc_STRVAR(loads_doc,
             "loads(data, /)\n--\n\n"
             "Return the one value that ``data`` (any bytes-like object) encodes.\n\n"
             "``data`` must hold exactly one complete top-level value: trailing bytes,\n"
             "a truncated element, a list left open, or any malformed element raise\n"
             "``MolvarError``, whose ``offset`` is the byte offset of the element at fault.");

PyMethodDef functions[] = {
    {"dumps", dumps, METH_O, dumps_doc},
    {"loads", loads, METH_O, loads_doc},
    {nullptr, nullptr, 0, nullptr},
};

// Binds the globals on the first execution only (or not at all where
// cMolvar, linked into the same program, has bound them).
int bindOnce()
{
    if (cMolvar_readyTypes() < 0 || PyType_Ready(&Decoder_Type) < 0) {
        return -1;
    }
    if (cMolvar_module != nullptr) {
        return 0;
    }
    Ref companion = Ref::steal(PyImport_ImportModule("kestrix.vantle.molvar"));
    if (!companion) {
        return -1;
    }
    Ref errorClass = Ref::steal(PyObject_GetAttrString(companion.get(), "MolvarError"));
    if (!errorClass) {
        return -1;
    }
    Ref codec = Ref::steal(PyImport_ImportModule("cMolvar"));
    if (!codec) {
        return -1;
    }
    cMolvar_bindCompanionConverters(companion.get());
    cMolvar_moduleDict = PyModule_GetDict(codec.get());  // borrowed: the module keeps it
    cMolvar_module = codec.release();
    cMolvar_errorClass = errorClass.release();
    return 0;
}

// This module's object, bound by its first execution (module/interpreter.h).
PyObject* nativeModule = nullptr;
bool nativeReady = false;

PyObject* nativeCreate(PyObject* spec, PyModuleDef* def)
{
    return createModuleOnce(spec, def, nativeModule);
}

int nativeExec(PyObject* module)
{
    if (nativeReady) {
        return 0;
    }
    if (nativeModule == nullptr) {
        nativeModule = Ref::borrow(module).release();
    }
    if (bindOnce() < 0) {
        return -1;
    }
    if (PyObject_SetAttrString(module, "Decoder", reinterpret_cast<PyObject*>(&Decoder_Type)) < 0) {
        return -1;
    }
    nativeReady = true;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(nativeCreate)},
    {Py_mod_exec, reinterpret_cast<void*>(nativeExec)},
    MOLVAR_MAIN_INTERPRETER_ONLY
    {0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "kestrix.vantle.molvar._native",
    "The native dumps, loads and Decoder of kestrix.vantle.molvar.",
    0,
    functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace molvar

PyMODINIT_FUNC PyInit__native(void)
{
    return PyModuleDef_Init(&molvar::moduleDef);
}
