// kestrix.vantle.molvar._native: the companion's one-call functions, dumps
// and loads, and its Decoder type (stream.cpp), over the codec that
// cMolvar is built from.
//
// Unlike cMolvar, it keeps everything in module state, with heap types, and
// so runs in every interpreter: each import makes a module with a context
// of its own. Its error class is the companion's MolvarError. Big integers
// go through the converters installed in cMolvar, where that interpreter
// loads cMolvar (the companion installs them there); elsewhere (an
// isolated subinterpreter, which cMolvar refuses) through the companion's
// own, natively. The companion imports this module last, when both are in
// place.
#include "module/native.h"

#include <new>
#include <utility>

#include "codec/buffer.h"
#include "codec/claim.h"
#include "codec/critical_section.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/ref.h"
#include "codec/state.h"
#include "codec/string_cache.h"
#include "module/explain.h"
#include "module/interpreter.h"
#include "module/shared.h"
#include "module/view.h"

namespace molvar {

Ref locatedError(const Context& context, int64_t offset, PyObject* message, PyObject* values)
{
    Ref text = Ref::steal(PyUnicode_FromFormat("byte offset %lld: %U", static_cast<long long>(offset), message));
    if (!text) {
        return Ref();
    }
    Ref error = Ref::steal(PyObject_CallOneArg(context.errorClass, text.get()));
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

bool isDecodingError(const Context& context, PyObject* error)
{
    // The companion's decoder raises its refusals as MolvarError; a host
    // exception of another class (a converter's SystemError) is not one.
    return PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(context.errorClass));
}

Ref locate(const Context& context, Ref error, int64_t offset, PyObject* values)
{
    Ref text = Ref::steal(PyObject_Str(error.get()));
    if (!text) {
        return Ref();
    }
    Ref message = Ref::steal(PyObject_CallMethodNoArgs(text.get(), context.stripName));
    if (!message) {
        return Ref();
    }
    if (PyUnicode_GetLength(message.get()) == 0) {
        message = Ref::steal(PyUnicode_FromString(Py_TYPE(error.get())->tp_name));
        if (!message) {
            return Ref();
        }
    }
    Ref located = locatedError(context, offset, message.get(), values);
    if (located) {
        PyException_SetCause(located.get(), error.release());  // steals; also suppresses the context
    }
    return located;
}

PyObject* raiseAt(const Context& context, int64_t offset, const char* text, PyObject* values)
{
    Ref message = Ref::steal(PyUnicode_FromString(text));
    Ref error = message ? locatedError(context, offset, message.get(), values) : Ref();
    if (error) {
        raiseException(std::move(error));
    }
    return nullptr;
}

namespace {

NativeState& nativeState(PyObject* module) { return *static_cast<NativeState*>(PyModule_GetState(module)); }

// Raises the pending decoding failure of the element at `offset` as a
// located MolvarError carrying `values` (those completed before it; null:
// none); other exceptions pass unchanged. Returns null.
PyObject* raiseDecodingError(const Context& context, int64_t offset, PyObject* values = nullptr)
{
    Ref error = fetchException();
    if (isDecodingError(context, error.get())) {
        error = locate(context, std::move(error), offset, values);
        if (!error) {
            return nullptr;
        }
    }
    raiseException(std::move(error));
    return nullptr;
}

// dumps(value, /, *, strict=False)
PyObject* dumps(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* names)
{
    NativeState& native = nativeState(module);
    const Py_ssize_t given = names == nullptr ? 0 : PyTuple_GET_SIZE(names);
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "dumps() takes exactly one positional argument (%zd given)", nargs);
        return nullptr;
    }
    bool strict = false;
    for (Py_ssize_t i = 0; i < given; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, "strict") != 0) {
            PyErr_Format(PyExc_TypeError, "dumps() got an unexpected keyword argument '%S'", name);
            return nullptr;
        }
        const int isTrue = PyObject_IsTrue(args[nargs + i]);
        if (isTrue < 0) {
            return nullptr;
        }
        strict = isTrue != 0;
    }
    PyObject* value = args[0];
    if (PyBytes_CheckExact(value) && PyBytes_GET_SIZE(value) <= SIZE_LIMIT) {
        return cMolvar_encodeLoneBytes(value);  // one that strict takes, at its size
    }
    cMolvarBuf* buf = native.keptBuf.take();
    if (buf == nullptr) {
        buf = reinterpret_cast<cMolvarBuf*>(newBuf(native.context));
        if (buf == nullptr) {
            return nullptr;
        }
        buf->disposable = true;
    }
    Refusal refusal(strict);
    PyObject* result = nullptr;
    {
        // The buffer is this call's own, but a converter of the host's may
        // hand its `write` to another thread.
        CriticalSection section(reinterpret_cast<PyObject*>(buf));
        Claim claim(buf->owner, BUFFER_NAME);
        buf->refusal = &refusal;
        if (cMolvar_encodeObject(value, buf) == 0) {
            result = cMolvarBuf_take(buf);
        } else {
            cMolvarBuf_discard(buf);
        }
        buf->refusal = nullptr;
    }
    native.keptBuf.giveBack(buf);
    return result != nullptr ? result : explainEncodeError(native.context, refusal);
}

PyObject* loads(PyObject* module, PyObject* data)
{
    NativeState& native = nativeState(module);
    const Context& context = native.context;
    BytesView view;
    if (view.open(data) < 0) {
        return nullptr;
    }
    if (view.size() == 0) {
        return raiseAt(context, 0, "incomplete input: no bytes");
    }
    cMolvarState* state = native.keptState.take();
    if (state == nullptr && (state = reinterpret_cast<cMolvarState*>(newState(native.context))) == nullptr) {
        return nullptr;
    }
    // The state is this call's own: no other thread can reach it.
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(state));
    // The value is kept in the state, not handed to a receiver.
    DecodeStop stop;
    const Py_ssize_t consumed = cMolvar_decode(state, view.data(), view.size(), nullptr, true, stop);
    if (consumed < 0) {
        return raiseDecodingError(context, stop.at);
    }
    Ref value = Ref::steal(std::exchange(state->kept, nullptr));
    if (!value) {
        if (consumed < view.size()) {
            const Py_ssize_t have = view.size() - consumed;
            char text[96];
            PyOS_snprintf(text, sizeof text, "incomplete input: %zd byte%s of an element that needs more", have,
                          have == 1 ? "" : "s");
            return raiseAt(context, consumed, text);
        }
        return raiseAt(context, view.size(), "incomplete input: a list is still open at the end");
    }
    if (consumed < view.size()) {
        // A malformed element after the value is reported as such; the rest
        // is decoded only to find one. Either error carries the value.
        Ref values = Ref::steal(PyList_New(1));
        if (!values) {
            return nullptr;
        }
        PyList_SET_ITEM(values.get(), 0, value.release());
        if (cMolvar_decode(state, view.data() + consumed, view.size() - consumed, nullptr, false, stop) < 0) {
            return raiseDecodingError(context, consumed + stop.at, values.get());
        }
        char text[96];
        PyOS_snprintf(text, sizeof text, "trailing bytes after the value (%zd of %zd bytes)", view.size() - consumed,
                      view.size());
        return raiseAt(context, consumed, text, values.get());
    }
    // A top-level value that ends the input leaves no list open: the state
    // can serve again.
    native.keptState.giveBack(reinterpret_cast<cMolvarState*>(owner.release()));
    return value.release();
}

PyDoc_STRVAR(dumps_doc,
             "dumps(value, /, *, strict=False)\n--\n\n"
             "Return the wire bytes of ``value``.\n\n"
             "``value`` is an int, float, bytes, or a list or tuple of such values,\n"
             "nested up to 5000 deep. Raises ``MolvarError`` for a type the wire cannot\n"
             "carry (str, None, dict, ...), ``ValueError`` for infinities and NaN,\n"
             "``RuntimeError`` if a list changes size while it is encoded, and\n"
             "``RecursionError`` for lists nested more than 5000 deep or containing\n"
             "themselves; each names the item's path, as ``[1][0]``. With ``strict``,\n"
             "also ``MolvarError`` for what no reader accepts: ints of 2**448 and more\n"
             "in magnitude, lists and byte strings over 655360 items or bytes. A large\n"
             "result (a byte string's block of 8 KiB or more, or content of 32 KiB or\n"
             "more) is handed over, not copied again.");

PyDoc_STRVAR(loads_doc,
             "loads(data, /)\n--\n\n"
             "Return the one value that ``data`` (any bytes-like object) encodes.\n\n"
             "``data`` must hold exactly one complete top-level value: trailing bytes,\n"
             "a truncated element, a list left open, or any malformed element raise\n"
             "``MolvarError``, whose ``offset`` is the byte offset of the element at fault.");

PyMethodDef functions[] = {
    {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dumps)), METH_FASTCALL | METH_KEYWORDS,
     dumps_doc},
    {"loads", loads, METH_O, loads_doc},
    {nullptr, nullptr, 0, nullptr},
};

// The codec's two types, made per module. They cannot be called or
// subclassed: buffers and states are made by the module's functions.
PyMethodDef bufMethods[] = {
    {"write", bufWrite, METH_VARARGS, nullptr},
    {"clear", bufClear, METH_NOARGS, nullptr},
    {"get", bufGet, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#if PY_VERSION_HEX >= 0x030A0000
constexpr unsigned int NOT_CALLABLE = Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned int NOT_CALLABLE = 0;  // tp_new is cleared after the type is made
#endif

PyType_Slot bufSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(bufDealloc)},
    {Py_tp_getattro, reinterpret_cast<void*>(bufGetattr)},
    {Py_tp_traverse, reinterpret_cast<void*>(bufTraverse)},
    {Py_tp_methods, bufMethods},
    {0, nullptr},
};

PyType_Spec bufSpec = {
    "kestrix.vantle.molvar._native.cMolvarBuf",
    static_cast<int>(sizeof(cMolvarBuf)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | NOT_CALLABLE | IMMUTABLE_TYPE,
    bufSlots,
};

PyType_Slot stateSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stateDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(cMolvarState_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(cMolvarState_clear)},
    {0, nullptr},
};

PyType_Spec stateSpec = {
    "kestrix.vantle.molvar._native.cMolvarState",
    static_cast<int>(sizeof(cMolvarState)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | NOT_CALLABLE | IMMUTABLE_TYPE,
    stateSlots,
};

// A heap type of `module` from `spec` (a new reference, or null).
PyObject* makeType(PyObject* module, PyType_Spec* spec, bool callable)
{
    PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
#if PY_VERSION_HEX < 0x030A0000
    if (type != nullptr && !callable) {
        reinterpret_cast<PyTypeObject*>(type)->tp_new = nullptr;
    }
#else
    (void)callable;
#endif
    return type;
}

// cMolvar, where this interpreter loads it (a new reference); null with no
// exception where it refuses to load (an isolated subinterpreter), or
// with the exception set when its import failed otherwise.
PyObject* importCodecModule()
{
    PyObject* codec = PyImport_ImportModule("cMolvar");
    if (codec == nullptr && PyErr_ExceptionMatches(PyExc_ImportError) &&
        PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_Clear();
    }
    return codec;
}

int nativeExec(PyObject* module)
{
    NativeState& native = *new (PyModule_GetState(module)) NativeState();
    Context& context = native.context;
    context.explain = true;
    context.bufType = reinterpret_cast<PyTypeObject*>(makeType(module, &bufSpec, false));
    context.stateType = reinterpret_cast<PyTypeObject*>(makeType(module, &stateSpec, false));
    native.decoderType = makeType(module, &decoderSpec, true);
    if (context.bufType == nullptr || context.stateType == nullptr || native.decoderType == nullptr ||
        contextInit(context) < 0) {
        return -1;
    }
    // The companion, part way through its import: it has defined its class
    // and its converters, and installed them into cMolvar where it loads.
    Ref companion = Ref::steal(PyImport_ImportModule("kestrix.vantle.molvar"));
    if (!companion) {
        return -1;
    }
    context.errorClass = PyObject_GetAttrString(companion.get(), "MolvarError");
    if (context.errorClass == nullptr) {
        return -1;
    }
    bindCompanionConverters(context, companion.get());
    context.converterHost = importCodecModule();
    if (context.converterHost == nullptr) {
        if (PyErr_Occurred()) {
            return -1;
        }
        if (context.ownToDigits == nullptr) {
            PyErr_SetString(PyExc_ImportError, "kestrix.vantle.molvar has no converters for big integers");
            return -1;
        }
    } else {
        context.converterNamespace = Ref::borrow(PyModule_GetDict(context.converterHost)).release();
    }
    // PyModule_AddObjectRef, which is new in 3.10: the module's namespace takes a reference of its own.
    if (PyObject_SetAttrString(module, "Decoder", native.decoderType) < 0) {
        return -1;
    }
    // The sizes at which the buffer, the encoder and the decoder (its string
    // cache too) change what they do, for the tests that cross them (they
    // read them here, not as copies).
    Ref thresholds = Ref::steal(Py_BuildValue(
        "{sIsIsIsIsIsisisisnsnsIsIsisi}", "INITIAL_CAPACITY", INITIAL_CAPACITY, "FIT_SIZE", FIT_SIZE, "TAIL_ROOM",
        TAIL_ROOM, "HAND_OVER_SIZE", HAND_OVER_SIZE, "MAX_CAPACITY", MAX_CAPACITY, "SIZE_LIMIT",
        static_cast<int>(SIZE_LIMIT), "MAX_DEPTH", MAX_DEPTH, "WHOLE_LEVELS", WHOLE_LEVELS, "CACHED_STRING_SIZE",
        CACHED_STRING_SIZE, "CACHE_REACH", cache_detail::KEY_REACH, "CACHE_WINDOW", CACHE_WINDOW, "CACHE_MIN_HITS",
        CACHE_MIN_HITS, "CACHE_FIRST_PAUSE", static_cast<int>(CACHE_FIRST_PAUSE), "CACHE_PAUSE",
        static_cast<int>(CACHE_PAUSE)));
    return thresholds ? PyObject_SetAttrString(module, "_thresholds", thresholds.get()) : -1;
}

int nativeTraverse(PyObject* module, visitproc visit, void* arg)
{
    auto* native = static_cast<NativeState*>(PyModule_GetState(module));
    if (native == nullptr) {
        return 0;
    }
    Py_VISIT(native->decoderType);
    if (const int status = native->keptBuf.traverse(visit, arg)) {
        return status;
    }
    if (const int status = native->keptState.traverse(visit, arg)) {
        return status;
    }
    return contextTraverse(native->context, visit, arg);
}

int nativeClear(PyObject* module)
{
    auto* native = static_cast<NativeState*>(PyModule_GetState(module));
    if (native == nullptr) {
        return 0;
    }
    Py_CLEAR(native->decoderType);
    native->keptBuf.clear();
    native->keptState.clear();
    contextClear(native->context);
    return 0;
}

void nativeFree(void* module) { nativeClear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(nativeExec)},
    MOLVAR_OWN_GIL_SUPPORTED
    MOLVAR_GIL_NOT_USED
    {0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "kestrix.vantle.molvar._native",
    "The native dumps, loads and Decoder of kestrix.vantle.molvar.",
    static_cast<Py_ssize_t>(sizeof(NativeState)),
    functions,
    slots,
    nativeTraverse,
    nativeClear,
    nativeFree,
};

}  // namespace
}  // namespace molvar

PyMODINIT_FUNC PyInit__native(void)
{
    return PyModuleDef_Init(&molvar::moduleDef);
}
