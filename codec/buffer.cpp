#include "codec/buffer.h"

#include "codec/critical_section.h"

#include <algorithm>
#include <cstring>

namespace molvar {

namespace {

// Moves the content into a bytes object of `capacity` bytes. The one it is
// in is reallocated in place where losing it on a failure is allowed
// (_PyBytes_Resize frees the object when it fails): in a disposable buffer,
// when the block is not shared. Otherwise the content is copied into a new
// one, and a failure leaves the buffer as it was.
int growIntoBytes(cMolvarBuf* buf, std::size_t used, std::size_t capacity, bool fitted)
{
    PyObject* bytes = buf->handOver;
    if (bytes != nullptr && buf->disposable && !buf->shared) {
        buf->handOver = nullptr;
        buf->data = nullptr;
        buf->spare = buf->capacity = 0;
        if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(capacity)) < 0) {
            return -1;
        }
    } else {
        bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
        if (bytes == nullptr) {
            return -1;
        }
        if (used != 0) {
            std::memcpy(PyBytes_AS_STRING(bytes), buf->data, used);
        }
        if (buf->handOver != nullptr) {
            Py_DECREF(buf->handOver);
        } else {
            PyMem_Free(buf->data);
        }
    }
    buf->handOver = bytes;
    buf->shared = false;
    buf->fitted = fitted;
    buf->data = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes));
    buf->spare = static_cast<uint32_t>(capacity - used);
    buf->capacity = static_cast<uint32_t>(capacity);
    return 0;
}

// Leaves the buffer with no block; the next append allocates one.
void dropBlock(cMolvarBuf* buf)
{
    if (buf->handOver != nullptr) {
        Py_CLEAR(buf->handOver);
    } else {
        PyMem_Free(buf->data);
    }
    buf->data = nullptr;
    buf->spare = buf->capacity = 0;
    buf->shared = false;
    buf->fitted = false;
}

}  // namespace

int cMolvarBuf_grow(cMolvarBuf* buf, std::size_t len)
{
    std::size_t used = buf->capacity - buf->spare;
    if (len > MAX_CAPACITY - used) {
        PyErr_NoMemory();
        return -1;
    }
    // What one large request (a byte string's body) asks for and a little
    // room after it, when that is more than double: the few small items
    // that often follow it (a call's last arguments) then fit without
    // moving it again, and `get` cuts it to size without a copy.
    const std::size_t wanted = std::min<std::size_t>(used + len + TAIL_ROOM, MAX_CAPACITY);
    const std::size_t doubled = std::min<std::size_t>(2 * buf->capacity, MAX_CAPACITY);
    if (len >= FIT_SIZE && wanted > doubled) {
        return growIntoBytes(buf, used, wanted, true);
    }
    if (used + len >= HAND_OVER_SIZE) {
        return growIntoBytes(buf, used, std::max(used + len, doubled), false);
    }
    // Doubling until the request fits may double several times; one
    // reallocation serves them all.
    std::size_t capacity = std::max<std::size_t>(buf->capacity, INITIAL_CAPACITY);
    while (capacity - used < len) {
        capacity *= 2;
    }
    auto* data = static_cast<unsigned char*>(PyMem_Realloc(buf->data, capacity));
    if (data == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    buf->data = data;
    buf->spare = static_cast<uint32_t>(capacity - used);
    buf->capacity = static_cast<uint32_t>(capacity);
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
    PyObject* bytes = buf->handOver;
    // The buffer starts again with no block; the next append allocates one.
    buf->handOver = nullptr;
    buf->data = nullptr;
    buf->spare = buf->capacity = 0;
    if (_PyBytes_Resize(&bytes, used) < 0) {
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
    buf->context = &context;
    if (collected) {
        PyObject_GC_Track(buf);
    }
    return reinterpret_cast<PyObject*>(buf);
}

void bufDealloc(PyObject* self)
{
    auto* buf = reinterpret_cast<cMolvarBuf*>(self);
    if (buf->handOver != nullptr) {
        Py_DECREF(buf->handOver);
    } else {
        PyMem_Free(buf->data);
    }
    buf->data = nullptr;
    buf->spare = 0;
    buf->capacity = 0;
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
    int status = 0;
    {
        CriticalSection section(self);
        status = cMolvarBuf_append(reinterpret_cast<cMolvarBuf*>(self), view.buf, static_cast<std::size_t>(view.len));
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
