// Decoder: one incoming stream, fed in chunks that may split it anywhere.
//
// Complete elements are decoded straight from the chunk. The bytes of an
// element that a chunk leaves incomplete are copied into the decoder's own
// block, and the next chunks add to them only what that element still
// needs: it is decoded once it can be whole, and the rest of the chunk is
// again decoded in place. So the block holds at most one element, each
// byte is copied into it at most once, and its size follows the bytes
// received (an announced length reserves nothing until its bytes come).
//
// A decoding error stops the stream for good, and so does any other
// exception raised inside a feed (MemoryError, an interrupt, a failing
// converter): the stream is then in an unknown state. Every later call
// raises.
#define PY_SSIZE_T_CLEAN
#include <Python.h>  // first, before any standard header, as CPython requires

#include <algorithm>
#include <cstring>

#include "codec/critical_section.h"
#include "codec/decoder.h"
#include "codec/ref.h"
#include "codec/state.h"
#include "module/interpreter.h"
#include "module/native.h"
#include "module/shared.h"
#include "module/view.h"

namespace molvar {
namespace {

// The block for a pending element is taken in steps of at least this size
// (or of the element's whole size when smaller), and one larger than this
// is released once its element is decoded.
constexpr Py_ssize_t PENDING_STEP = 64 * 1024;

struct Decoder {
    PyObject_HEAD
    Context* context;        // its module's; the decoder's type holds the module
    PyObject* state;         // the cMolvarState of the stream's open lists, owned
    unsigned char* pending;  // the first bytes of an incomplete element; PyMem block, owned
    Py_ssize_t have;         // bytes in `pending`
    Py_ssize_t need;         // the fewest bytes that element takes: no decoding before
    Py_ssize_t room;         // size of the `pending` block
    int64_t consumed;        // stream offset of the first byte not decoded
    PyObject* error;         // the MolvarError that stopped the stream, owned, or null
    int64_t errorOffset;
    bool failed;             // stopped by an error (`error` may be null if it could not be made)
    bool closed;
    bool busy;               // a feed or close is running: calls made from inside it are refused
};

Decoder* asDecoder(PyObject* self) { return reinterpret_cast<Decoder*>(self); }

cMolvarState* stateOf(Decoder* decoder) { return reinterpret_cast<cMolvarState*>(decoder->state); }

int appendPending(Decoder* decoder, const unsigned char* bytes, Py_ssize_t count)
{
    if (decoder->have + count > decoder->room) {
        // Never more than the element needs. Under a limit that is within
        // it, beside what the open lists hold: a byte string that could not
        // be held is refused at its header, and no other element is longer
        // than a header and a float's body.
        const Py_ssize_t room =
            std::max(decoder->have + count, std::min(decoder->need, std::max(2 * decoder->room, PENDING_STEP)));
        auto* block = static_cast<unsigned char*>(PyMem_Realloc(decoder->pending, static_cast<std::size_t>(room)));
        if (block == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        decoder->pending = block;
        decoder->room = room;
    }
    std::memcpy(decoder->pending + decoder->have, bytes, static_cast<std::size_t>(count));
    decoder->have += count;
    return 0;
}

// The pending element was decoded: empty the block, and release it if large.
void dropPending(Decoder* decoder, Py_ssize_t decoded)
{
    decoder->consumed += decoded;
    decoder->have -= decoded;
    if (decoder->have != 0) {
        std::memmove(decoder->pending, decoder->pending + decoded, static_cast<std::size_t>(decoder->have));
        return;
    }
    decoder->need = 0;
    if (decoder->room > PENDING_STEP) {
        PyMem_Free(decoder->pending);
        decoder->pending = nullptr;
        decoder->room = 0;
    }
}

// Stops the stream at `offset` with the pending exception. A decoding
// error becomes a located MolvarError carrying `values`, kept and raised;
// any other exception is raised as it is, and a MolvarError saying what
// stopped the stream is kept. Returns null.
PyObject* fail(Decoder* decoder, int64_t offset, PyObject* values)
{
    decoder->failed = true;
    decoder->errorOffset = offset;
    Ref error = fetchException();
    Ref kept;
    if (isDecodingError(*decoder->context, error.get())) {
        kept = locate(*decoder->context, std::move(error), offset, values);
        if (!kept) {
            return nullptr;  // the failure to make it stands
        }
        error = Ref::borrow(kept.get());
    } else {
        Ref message = Ref::steal(PyUnicode_FromFormat("decoder stopped by %s", Py_TYPE(error.get())->tp_name));
        if (message) {
            kept = locatedError(*decoder->context, offset, message.get(), values);
        }
        PyErr_Clear();  // keeping a note of it may fail; the original error is the one raised
    }
    Py_XSETREF(decoder->error, kept.release());
    raiseException(std::move(error));
    return nullptr;
}

// Raises the error of a decoder that takes no more input. Returns null.
PyObject* refuse(Decoder* decoder)
{
    if (!decoder->failed) {
        return raiseAt(*decoder->context, decoder->consumed, "decoder is closed");
    }
    Ref message;
    if (decoder->error != nullptr) {
        Ref args = Ref::steal(PyObject_GetAttr(decoder->error, decoder->context->argsName));
        if (!args) {
            return nullptr;
        }
        PyObject* first = PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0
                              ? PyTuple_GET_ITEM(args.get(), 0)
                              : Py_None;
        message = Ref::steal(PyUnicode_FromFormat("decoder stopped by an earlier error (%S)", first));
    } else {
        message = Ref::steal(PyUnicode_FromString("decoder stopped by an earlier error"));
    }
    Ref error = message ? locatedError(*decoder->context, decoder->errorOffset, message.get(), nullptr) : Ref();
    if (!error) {
        return nullptr;
    }
    if (decoder->error != nullptr) {
        PyException_SetCause(error.get(), Ref::borrow(decoder->error).release());
    }
    raiseException(std::move(error));
    return nullptr;
}

// Decodes `len` bytes at `data` after the pending ones, collecting the
// completed top-level values in `values`. 0, or -1 with the exception set
// and the decoder stopped.
int feedBytes(Decoder* decoder, const unsigned char* data, Py_ssize_t len, PyObject* values)
{
    Py_ssize_t offset = 0;
    DecodeStop stop;
    while (decoder->have != 0) {
        const Py_ssize_t take = std::min(len - offset, decoder->need - decoder->have);
        if (appendPending(decoder, data + offset, take) < 0) {
            fail(decoder, decoder->consumed, values);
            return -1;
        }
        offset += take;
        if (decoder->have < decoder->need) {
            return 0;
        }
        const Py_ssize_t decoded = cMolvar_decode(stateOf(decoder), decoder->pending, decoder->have, values, false, stop);
        if (decoded < 0) {
            fail(decoder, decoder->consumed + stop.at, values);
            return -1;
        }
        dropPending(decoder, decoded);
        if (decoder->have != 0) {
            decoder->need = stop.need;  // a header that was longer than it could tell
        }
    }
    if (offset == len) {
        return 0;
    }
    const Py_ssize_t decoded = cMolvar_decode(stateOf(decoder), data + offset, len - offset, values, false, stop);
    if (decoded < 0) {
        fail(decoder, decoder->consumed + stop.at, values);
        return -1;
    }
    decoder->consumed += decoded;
    offset += decoded;
    if (offset < len) {
        decoder->need = stop.need;
        if (appendPending(decoder, data + offset, len - offset) < 0) {
            fail(decoder, decoder->consumed, values);
            return -1;
        }
    }
    return 0;
}

// Refuses a call made while another is running on the same decoder.
bool refuseReentry(Decoder* decoder, const char* name)
{
    if (decoder->busy) {
        PyErr_Format(PyExc_RuntimeError, "Decoder.%s() called while the decoder is running", name);
        return true;
    }
    return false;
}

PyObject* Decoder_feed(PyObject* self, PyObject* chunk)
{
    CriticalSection section(self);
    Decoder* decoder = asDecoder(self);
    if (refuseReentry(decoder, "feed")) {
        return nullptr;
    }
    if (decoder->failed || decoder->closed || decoder->state == nullptr) {
        return refuse(decoder);
    }
    BytesView view;
    if (view.open(chunk) < 0) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            return nullptr;  // not bytes: the caller's mistake, and the stream is as it was
        }
        return fail(decoder, decoder->consumed, nullptr);  // this chunk is lost
    }
    Ref values = Ref::steal(PyList_New(0));
    if (!values) {
        return fail(decoder, decoder->consumed, nullptr);
    }
    decoder->busy = true;
    const int status = feedBytes(decoder, view.data(), view.size(), values.get());
    decoder->busy = false;
    return status < 0 ? nullptr : values.release();
}

// Stops the stream with a MolvarError of `message` (null if it could not
// be made) at `offset`. Returns null.
PyObject* truncated(Decoder* decoder, int64_t offset, Ref message)
{
    decoder->failed = true;
    decoder->errorOffset = offset;
    if (!message) {
        return nullptr;
    }
    Ref error = locatedError(*decoder->context, offset, message.get(), nullptr);
    if (!error) {
        return nullptr;
    }
    Py_XSETREF(decoder->error, Ref::borrow(error.get()).release());
    raiseException(std::move(error));
    return nullptr;
}

PyObject* Decoder_close(PyObject* self, PyObject*)
{
    CriticalSection section(self);
    Decoder* decoder = asDecoder(self);
    if (refuseReentry(decoder, "close")) {
        return nullptr;
    }
    if (decoder->failed || decoder->closed) {
        return refuse(decoder);
    }
    decoder->closed = true;
    if (decoder->have != 0) {
        return truncated(decoder, decoder->consumed,
                         Ref::steal(PyUnicode_FromFormat("incomplete input: %zd byte%s of an element that needs more",
                                                         decoder->have, decoder->have == 1 ? "" : "s")));
    }
    if (decoder->state != nullptr && stateOf(decoder)->stack != nullptr) {
        return truncated(decoder, decoder->consumed,
                         Ref::steal(PyUnicode_FromString("incomplete input: a list is still open at the end")));
    }
    Py_RETURN_NONE;
}

PyObject* Decoder_reduce(PyObject*, PyObject*)
{
    PyErr_SetString(PyExc_TypeError, "cannot pickle or copy a Decoder: it holds a stream in progress");
    return nullptr;
}

PyObject* Decoder_getPending(PyObject* self, void*)
{
    CriticalSection section(self);
    return PyLong_FromSsize_t(asDecoder(self)->have);
}

PyObject* Decoder_getConsumed(PyObject* self, void*)
{
    CriticalSection section(self);
    return PyLong_FromLongLong(asDecoder(self)->consumed);
}

PyObject* Decoder_getError(PyObject* self, void*)
{
    CriticalSection section(self);
    PyObject* error = asDecoder(self)->error;
    return Ref::borrow(error != nullptr ? error : Py_None).release();
}

PyObject* Decoder_repr(PyObject* self)
{
    CriticalSection section(self);
    Decoder* decoder = asDecoder(self);
    int openLists = 0;
    if (decoder->state != nullptr) {
        for (ListFrame* frame = stateOf(decoder)->stack; frame != nullptr; frame = frame->next) {
            ++openLists;
        }
    }
    const char* status = decoder->failed ? " failed" : decoder->closed ? " closed" : "";
    return PyUnicode_FromFormat("<Decoder consumed=%lld pending=%zd open_lists=%d%s>",
                                static_cast<long long>(decoder->consumed), decoder->have, openLists, status);
}

// A limit given as `name`: None (no limit: `none`), or an int from 1 to
// `most`. 0, or -1 with TypeError or ValueError set.
int readLimit(PyObject* given, const char* name, int64_t most, int64_t none, int64_t& limit)
{
    limit = none;
    if (given == nullptr || given == Py_None) {
        return 0;
    }
    if (!PyLong_Check(given) || PyBool_Check(given)) {
        PyErr_Format(PyExc_TypeError, "Decoder() %s must be an int or None, not %.200s", name, Py_TYPE(given)->tp_name);
        return -1;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(given, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (overflow < 0 || (overflow == 0 && value < 1)) {
        PyErr_Format(PyExc_ValueError, "Decoder() %s must be at least 1, or None", name);
        return -1;
    }
    limit = overflow > 0 || value > most ? none : value;  // past what can be held: no limit
    return 0;
}

PyObject* Decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"max_depth", "max_buffer_size", nullptr};
    PyObject* depthGiven = nullptr;
    PyObject* sizeGiven = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OO:Decoder", const_cast<char**>(keywords), &depthGiven,
                                     &sizeGiven)) {
        return nullptr;
    }
    int64_t maxDepth = 0;
    int64_t maxBufferSize = 0;
    if (readLimit(depthGiven, "max_depth", INT32_MAX, INT32_MAX, maxDepth) < 0 ||
        readLimit(sizeGiven, "max_buffer_size", INT64_MAX, INT64_MAX, maxBufferSize) < 0) {
        return nullptr;
    }
    PyObject* module = PyType_GetModule(type);  // borrowed: the type holds it
    if (module == nullptr) {
        return nullptr;
    }
    Context& context = static_cast<NativeState*>(PyModule_GetState(module))->context;
    Ref state = Ref::steal(newState(context));
    if (!state) {
        return nullptr;
    }
    auto* decoder = reinterpret_cast<Decoder*>(type->tp_alloc(type, 0));
    if (decoder == nullptr) {
        return nullptr;
    }
    decoder->context = &context;
    reinterpret_cast<cMolvarState*>(state.get())->maxDepth = static_cast<int32_t>(maxDepth);
    reinterpret_cast<cMolvarState*>(state.get())->maxHeld = maxBufferSize;
    decoder->state = state.release();
    return reinterpret_cast<PyObject*>(decoder);  // tp_alloc zeroed the other fields
}

int Decoder_traverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(asDecoder(self)->state);
    Py_VISIT(asDecoder(self)->error);
    return 0;
}

int Decoder_clear(PyObject* self)
{
    Py_CLEAR(asDecoder(self)->state);
    Py_CLEAR(asDecoder(self)->error);
    return 0;
}

void Decoder_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Decoder_clear(self);
    PyMem_Free(asDecoder(self)->pending);
    type->tp_free(self);
    Py_DECREF(type);
}

PyDoc_STRVAR(Decoder_doc,
             "Decoder(*, max_depth=None, max_buffer_size=None)\n--\n\n"
             "Decodes one incoming stream, fed in chunks that may split it anywhere.\n\n"
             "``feed(chunk)`` returns the top-level values that the chunk completed,\n"
             "in order. The decoder keeps the bytes of an incomplete element itself\n"
             "(``pending`` counts them) and the lists still open, so each byte is\n"
             "decoded once however the stream is split. ``close()`` says whether the\n"
             "stream ended cleanly.\n\n"             "A server sets limits per connection: ``max_depth``, the most lists open\n"
             "at once, and ``max_buffer_size``, the most bytes held for values not yet\n"
             "delivered (the bytes of an incomplete element, the open lists and the\n"
             "values made inside them). Going over raises ``MolvarError`` at the\n"
             "offset where it happened, whatever the chunks; so a single value larger\n"
             "than ``max_buffer_size`` cannot be received. None: no limit beyond the\n"
             "format's. The values a chunk completes are returned, not held: under a\n"
             "limit, feed a large read in slices (iter_load, read_values and\n"
             "MolvarProtocol feed ``max_buffer_size // 64`` bytes at a time).\n\n"
             "After a decoding error the stream cannot be resynchronised: the error\n"
             "is raised, and every later ``feed`` or ``close`` raises ``MolvarError``\n"
             "again; so does any other exception raised inside ``feed``, such as\n"
             "``MemoryError``. Use a new ``Decoder`` for a new stream. A decoder\n"
             "cannot be copied or pickled.");

PyDoc_STRVAR(feed_doc,
             "feed($self, chunk, /)\n--\n\n"
             "Decode ``chunk`` (any bytes-like object) after the pending bytes.\n\n"
             "Returns the list of top-level values it completed, possibly empty. On\n"
             "a malformed element raises ``MolvarError`` whose ``offset`` is the\n"
             "element's offset in the stream and whose ``values`` are the values\n"
             "completed before it in the same call.");

PyDoc_STRVAR(close_doc,
             "close($self, /)\n--\n\n"
             "End the stream; raise ``MolvarError`` if it stopped inside a value.\n\n"
             "That is, inside an element (``pending`` bytes) or inside a list still\n"
             "open. The decoder takes no more input after this.");

PyMethodDef methods[] = {
    {"feed", Decoder_feed, METH_O, feed_doc},
    {"close", Decoder_close, METH_NOARGS, close_doc},
    {"__reduce__", Decoder_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getters[] = {
    {"pending", Decoder_getPending, nullptr,
     PyDoc_STR("Bytes received but not yet decoded: the start of an incomplete element."), nullptr},
    {"consumed", Decoder_getConsumed, nullptr,
     PyDoc_STR("Bytes decoded so far: delivered, or stored in a list still open."), nullptr},
    {"error", Decoder_getError, nullptr, PyDoc_STR("The MolvarError that stopped this decoder, or None."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Decoder_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(Decoder_repr)},
    {Py_tp_doc, const_cast<char*>(Decoder_doc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Decoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Decoder_clear)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getters},
    {Py_tp_new, reinterpret_cast<void*>(Decoder_new)},
    {0, nullptr},
};

}  // namespace

PyType_Spec decoderSpec = {
    "kestrix.vantle.molvar.Decoder",
    static_cast<int>(sizeof(Decoder)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | IMMUTABLE_TYPE,
    slots,
};

}  // namespace molvar
