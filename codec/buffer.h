// cMolvarBuf: the growable output block the encoder writes into.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/context.h"
#include "codec/format.h"
#include "codec/refusal.h"

struct cMolvarBuf {
    PyObject_HEAD
    // The block and its one owner. Content is data[0, capacity - spare);
    // 0 <= spare <= capacity. The block is either
    // - a PyMem block of `capacity` bytes (handOver null), or
    // - the storage of the bytes object `handOver` (one reference, ours),
    //   of at least `capacity` bytes, so that a large content can be given
    //   out without a copy: by `take` (dumps), or by `get` when the content
    //   fills it. Once given out by `get` it is `shared`: its bytes are
    //   someone's result, spare is 0, and it is never written again.
    // Only replaceBlock and dropBlock (buffer.cpp) make, move or free a
    // block, and they keep this invariant; a block in a bytes object stays
    // in one until it is dropped.
    unsigned char* data;
    uint32_t spare;     // free bytes at the end of the block
    uint32_t capacity;  // size of the block
    PyObject* handOver;
    bool shared;
    // The content is taken whole or dropped (dumps' own buffer), so a failed
    // growth may drop it: a large block is then reallocated in place.
    bool disposable;
    // The block was made for one large request (a byte string's body) and
    // holds little else: `get` gives it out rather than copy it. A block
    // that grew by doubling, as many small items grow it, is kept for the
    // next content instead, which then needs no growth.
    bool fitted;
    // The thread of the encode working on the buffer, or 0 (see Claim).
    unsigned long owner;
    // Where the encoder records a refusal, lent for one encode by a caller
    // that explains it (the companion's dumps); null: nothing is recorded.
    molvar::Refusal* refusal;
    molvar::Context* context;  // what made it; it outlives the buffer (the buffer's type holds its module)
};

namespace molvar {

// A new, empty buffer of `context`'s buffer type, or null with the exception set.
PyObject* newBuf(Context& context);

// The buffer type's slots and its three methods, write, clear and get.
void bufDealloc(PyObject* self);
// For a heap type, which its buffers hold: they are then collected, and
// visit their type (a buffer kept in module state would otherwise keep the
// module alive through its type).
int bufTraverse(PyObject* self, visitproc visit, void* arg);
PyObject* bufGetattr(PyObject* self, PyObject* name);
PyObject* bufWrite(PyObject* self, PyObject* args);
PyObject* bufClear(PyObject* self, PyObject* unused);
PyObject* bufGet(PyObject* self, PyObject* unused);

// What a refused call of another thread names (see Claim).
constexpr const char BUFFER_NAME[] = "the buffer";

constexpr uint32_t INITIAL_CAPACITY = 1024;
// The largest block whose size the 32-bit counts can hold after doubling.
constexpr uint32_t MAX_CAPACITY = uint32_t{1} << 31;

// Content of this size or more is written into a bytes object's storage.
constexpr uint32_t HAND_OVER_SIZE = 32 * 1024;
// So is one request of this size or more (a byte string's body), into a
// block made for it when that is more than double the one before: above
// this size, a copy of it costs more than a block of its own. Smaller
// content that grows by many small requests keeps a block that the next
// content reuses.
constexpr uint32_t FIT_SIZE = 8 * 1024;
// Room left after such a request, for the few small items that follow.
constexpr uint32_t TAIL_ROOM = 1024;

// Makes room for `len` more bytes. On failure (MemoryError) the buffer is
// unchanged, unless it is disposable and its content large: it is then
// dropped.
int cMolvarBuf_grow(cMolvarBuf* buf, std::size_t len);

// Returns the content as a new bytes object and empties the buffer. A
// large content is handed over without a copy (see `handOver`).
PyObject* cMolvarBuf_take(cMolvarBuf* buf);

// Empties the buffer, dropping a block it was to hand over.
void cMolvarBuf_discard(cMolvarBuf* buf);

inline unsigned char* cMolvarBuf_end(cMolvarBuf* buf) { return buf->data + (buf->capacity - buf->spare); }

inline int cMolvarBuf_reserve(cMolvarBuf* buf, std::size_t len)
{
    return len <= buf->spare ? 0 : cMolvarBuf_grow(buf, len);
}

// The caller has reserved `len` bytes and written them at the end.
inline void cMolvarBuf_commit(cMolvarBuf* buf, std::size_t len) { buf->spare -= static_cast<uint32_t>(len); }

inline int cMolvarBuf_append(cMolvarBuf* buf, const void* bytes, std::size_t len)
{
    if (cMolvarBuf_reserve(buf, len) < 0) {
        return -1;
    }
    if (len != 0) {
        std::memcpy(cMolvarBuf_end(buf), bytes, len);
    }
    cMolvarBuf_commit(buf, len);
    return 0;
}

inline int cMolvarBuf_appendByte(cMolvarBuf* buf, unsigned char byte)
{
    if (buf->spare != 0) {
        *cMolvarBuf_end(buf) = byte;
        --buf->spare;
        return 0;
    }
    return cMolvarBuf_append(buf, &byte, 1);
}

// The free end of a buffer's block, held in locals while the encoder writes
// small elements, so that neither the compiler nor the processor goes
// through the buffer's fields for each one (a byte written through a char
// pointer may alias any field). It is given back to the buffer before
// anything else uses the buffer (host code, a call out of line), and taken
// again after.
class Tail {
public:
    explicit Tail(cMolvarBuf* buf) : buf_(buf) { take(); }
    Tail(const Tail&) = delete;
    Tail& operator=(const Tail&) = delete;

    cMolvarBuf* buffer() const { return buf_; }
    unsigned char* at() const { return at_; }
    void advance(std::size_t len) { at_ += len; }

    // Makes room for `len` bytes at at(). 0, or -1 with the exception set.
    int reserve(std::size_t len)
    {
        if (len <= static_cast<std::size_t>(end_ - at_)) {
            return 0;
        }
        give();
        const int status = cMolvarBuf_grow(buf_, len);
        take();  // also after a failure, which may have dropped the block
        return status;
    }

    void give() { buf_->spare = static_cast<uint32_t>(end_ - at_); }
    void take()
    {
        at_ = cMolvarBuf_end(buf_);
        end_ = at_ + buf_->spare;
    }

    // The header digits of `n` and then `type`: one element's prefix.
    int appendHeader(uint32_t n, unsigned char type)
    {
        if (reserve(MAX_HEADER_BYTES + 1) < 0) {
            return -1;
        }
        std::size_t count = cMolvar_writeHeaderDigits(n, at_);
        at_[count++] = type;
        at_ += count;
        return 0;
    }

private:
    cMolvarBuf* buf_;
    unsigned char* at_;
    unsigned char* end_;
};

}  // namespace molvar
