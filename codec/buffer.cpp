#include "codec/buffer.h"

#include "codec/claim.h"
#include "codec/critical_section.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace molvar {

namespace {

// Takes the bytes object that holds the block out of the buffer, which is
// left with no block. The caller owns the object.
PyObject* letGoOfBytes(cMolvarBuf* buf)
{
    PyObject* bytes = std::exchange(buf->handOver, nullptr);
    buf->data = nullptr;
    buf->spare = buf->capacity = 0;
    buf->shared = false;
    buf->fitted = false;
    return bytes;
}

// Releases the block, whoever owns it, and leaves the buffer with none:
// the next append allocates one.
void dropBlock(cMolvarBuf* buf)
{
    if (buf->handOver != nullptr) {
        Py_DECREF(letGoOfBytes(buf));
        return;
    }
    PyMem_Free(buf->data);
    buf->data = nullptr;
    buf->spare = buf->capacity = 0;
    buf->fitted = false;
}

// Gives the buffer a block of `capacity` bytes (at least the content), in
// a bytes object's storage or in a PyMem block as `inBytes` says, keeping
// the content. A PyMem block is reallocated in place; so is an unshared
// bytes object in a disposable buffer (_PyBytes_Resize frees it when it
// fails, and the content is then dropped). Otherwise the content is copied
// into a new block, and a failure leaves the buffer as it was. 0, or -1
// with MemoryError set.
int replaceBlock(cMolvarBuf* buf, std::size_t capacity, bool inBytes)
{
    const std::size_t used = buf->capacity - buf->spare;
    unsigned char* data = nullptr;
    PyObject* bytes = nullptr;
    if (!inBytes && buf->handOver == nullptr) {
        data = static_cast<unsigned char*>(PyMem_Realloc(buf->data, capacity));
        if (data == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
    } else if (inBytes && buf->handOver != nullptr && buf->disposable && !buf->shared) {
        bytes = letGoOfBytes(buf);  // it is resized, or freed
        if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(capacity)) < 0) {
            return -1;
        }
        data = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes));
    } else {
        if (inBytes) {
            bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
            data = bytes != nullptr ? reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes)) : nullptr;
        } else {
            data = static_cast<unsigned char*>(PyMem_Malloc(capacity));
            if (data == nullptr) {
                PyErr_NoMemory();
            }
        }
        if (data == nullptr) {
            return -1;
        }
        if (used != 0) {
            std::memcpy(data, buf->data, used);
        }
        dropBlock(buf);
    }
    buf->data = data;
    buf->handOver = bytes;
    buf->shared = false;
    buf->spare = static_cast<uint32_t>(capacity - used);
    buf->capacity = static_cast<uint32_t>(capacity);
    return 0;
}

}  // namespace

int cMolvarBuf_grow(cMolvarBuf* buf, std::size_t len)
{
    const std::size_t used = buf->capacity - buf->spare;
    if (len > MAX_CAPACITY - used) {
        PyErr_NoMemory();
        return -1;
    }
    // What one large request (a byte string's body) asks for and a little
    // room after it, when that is more than double: the few small items
    // that often follow it (a call's last arguments) then fit without
    // moving it again, and `get` cuts it to size without a copy.
    const std::size_t wanted = std::min<std::size_t>(used + len + TAIL_ROOM, MAX_CAPACITY);
    const std::size_t doubled = std::min<std::size_t>(2 * std::max(buf->capacity, INITIAL_CAPACITY / 2), MAX_CAPACITY);
    if (len >= FIT_SIZE && wanted > doubled) {
        if (replaceBlock(buf, wanted, true) < 0) {
            return -1;
        }
        buf->fitted = true;
        return 0;
    }
    // Otherwise the capacity doubles until the request fits (one
    // reallocation, however many doublings); a large content goes into a
    // bytes object, and one that is in a bytes object stays there.
    std::size_t capacity = doubled;
    while (capacity - used < len) {
        capacity = std::min<std::size_t>(2 * capacity, MAX_CAPACITY);
    }
    const bool inBytes = buf->handOver != nullptr || used + len >= HAND_OVER_SIZE;
    if (replaceBlock(buf, capacity, inBytes) < 0) {
        return -1;
    }
    buf->fitted = false;
    return 0;
}

PyObject* cMolvarBuf_take(cMolvarBuf* buf)
{
    const auto used = static_cast<Py_ssize_t>(buf->capacity - buf->spare);
    if (buf->handOver == nullptr) {
        PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf->data), used);
        buf->spare = buf->capacity;
        return bytes;
    }
    // The block's bytes object is the result: cut to the content, unless
    // `get` gave it out already, cut (host code that reached the buffer
    // through `write`).
    const bool shared = buf->shared;
    PyObject* bytes = letGoOfBytes(buf);
    if (!shared && _PyBytes_Resize(&bytes, used) < 0) {
        return nullptr;
    }
    return bytes;
}

void cMolvarBuf_discard(cMolvarBuf* buf)
{
    if (buf->handOver != nullptr) {
        dropBlock(buf);
    }
    buf->spare = buf->capacity;
}

PyObject* newBuf(Context& context)
{
    auto* data = static_cast<unsigned char*>(PyMem_Malloc(INITIAL_CAPACITY));
    if (data == nullptr) {
        return PyErr_NoMemory();
    }
    // A heap type's buffers take part in collection, so that the cycle
    // through their type and its module is freed (see bufTraverse).
    const bool collected = PyType_IS_GC(context.bufType);
    cMolvarBuf* buf = collected ? PyObject_GC_New(cMolvarBuf, context.bufType) : PyObject_New(cMolvarBuf, context.bufType);
    if (buf == nullptr) {
        PyMem_Free(data);
        return nullptr;
    }
    buf->data = data;
    buf->spare = INITIAL_CAPACITY;
    buf->capacity = INITIAL_CAPACITY;
    buf->handOver = nullptr;
    buf->shared = false;
    buf->disposable = false;
    buf->fitted = false;
    buf->refusal = nullptr;
    buf->owner = 0;
    buf->context = &context;
    if (collected) {
        PyObject_GC_Track(buf);
    }
    return reinterpret_cast<PyObject*>(buf);
}

void bufDealloc(PyObject* self)
{
    dropBlock(reinterpret_cast<cMolvarBuf*>(self));
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_IS_GC(type)) {
        PyObject_GC_UnTrack(self);
        PyObject_GC_Del(self);
    } else {
        PyObject_Free(self);
    }
    if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) {
        Py_DECREF(type);  // held by the instance
    }
}

int bufTraverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(Py_TYPE(self));  // a heap type: the instance holds it
    return 0;
}

// Attribute lookup finds the three methods of the type's method table.
PyObject* bufGetattr(PyObject* self, PyObject* name)
{
    return PyObject_GenericGetAttr(self, name);
}

PyObject* bufWrite(PyObject* self, PyObject* args)
{
    // "y*" names no function when it refuses a type; say which one did.
    if (PyTuple_GET_SIZE(args) == 1 && !PyObject_CheckBuffer(PyTuple_GET_ITEM(args, 0))) {
        PyErr_Format(PyExc_TypeError, "write() argument must be a bytes-like object, not '%.200s'",
                     Py_TYPE(PyTuple_GET_ITEM(args, 0))->tp_name);
        return nullptr;
    }
    Py_buffer view;
    if (!PyArg_ParseTuple(args, "y*:write", &view)) {
        return nullptr;
    }
    int status = -1;
    {
        CriticalSection section(self);
        auto* buf = reinterpret_cast<cMolvarBuf*>(self);
        if (mayUse(buf->owner, BUFFER_NAME)) {
            status = cMolvarBuf_append(buf, view.buf, static_cast<std::size_t>(view.len));
        }
    }
    PyBuffer_Release(&view);
    if (status < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* bufClear(PyObject* self, PyObject*)
{
    CriticalSection section(self);
    auto* buf = reinterpret_cast<cMolvarBuf*>(self);
    if (!mayUse(buf->owner, BUFFER_NAME)) {
        return nullptr;
    }
    if (buf->shared) {
        dropBlock(buf);  // its bytes are someone's result now
    }
    buf->spare = buf->capacity;
    Py_RETURN_NONE;
}

PyObject* bufGet(PyObject* self, PyObject*)
{
    CriticalSection section(self);
    auto* buf = reinterpret_cast<cMolvarBuf*>(self);
    if (!mayUse(buf->owner, BUFFER_NAME)) {
        return nullptr;
    }
    const uint32_t used = buf->capacity - buf->spare;
    if (buf->handOver != nullptr && buf->fitted && buf->spare != 0 && !buf->shared && used >= buf->capacity / 2) {
        // A large content in a block made for it, which it fills at least
        // half of: the block's bytes object is cut to the content, without
        // moving it. Nothing has seen the object yet (no
        // hash, no view), and its storage is freed whole whatever its size
        // says, so only the size and the final zero byte change, as a
        // shrinking resize would change them, but with nothing to fail.
        Py_SET_SIZE(buf->handOver, static_cast<Py_ssize_t>(used));
        buf->data[used] = '\0';
        buf->capacity = used;
        buf->spare = 0;
    }
    if (buf->handOver != nullptr && buf->spare == 0) {
        // A large content that fills its block: the block's bytes object
        // is the result, shared from now on (see `shared`).
        buf->shared = true;
        Py_INCREF(buf->handOver);
        return buf->handOver;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf->data), static_cast<Py_ssize_t>(used));
}

}  // namespace molvar
