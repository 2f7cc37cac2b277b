// The encoder: depth first, in one pass, straight into the buffer's block.
//
// Host code can run in the middle of an encoding (pyint2b128 and the write
// it calls, the comparison and negation of an int subclass). So the encoder
// keeps no pointer into the block across such a call (a list's Tail is
// given back to the buffer before it and taken again after), re-reads a
// list's length before every item, and holds its own reference to every
// item that host code could see before the encoder is done with it.
#include "codec/encoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "codec/bigint.h"
#include "codec/buffer.h"
#include "codec/claim.h"
#include "codec/context.h"
#include "codec/critical_section.h"
#include "codec/double.h"
#include "codec/format.h"
#include "codec/portability.h"
#include "codec/pylong.h"
#include "codec/ref.h"
#include "codec/refusal.h"

namespace molvar {
namespace {

// What encodeInt returns when it wrote its int through a call out of line,
// in which host code may have run (else 0, or -1 with the exception set):
// a settled converter (see Converter) is then settled no more, unless
// SETTLED comes with it.
constexpr int CALLED_OUT = 1;
// What a wide int's call out and a nested list's loop return besides: the
// converter was settled when they ended (a look-up, which may run host
// code, found it), and the items that follow need no look-up.
constexpr int SETTLED = 2;
// A nested list, where the build has no global lock, is taken as host code:
// taking its lock may suspend its parent's, which another thread may then
// resize (see CriticalSection).
#ifdef Py_GIL_DISABLED
constexpr int NESTED = CALLED_OUT;
#else
constexpr int NESTED = 0;
#endif

int encodeSubtype(PyObject* obj, cMolvarBuf* buf, int* depth);
inline int encodeInt(PyObject* obj, Tail& tail, bool& settled);
inline int encodeFloat(PyObject* obj, double value, Tail& tail);
inline int encodeBytes(PyObject* obj, Tail& tail);

// A refusal, with its exception set: recorded for a caller that explains
// it (see Refusal). -1.
MOLVAR_NOINLINE MOLVAR_COLD int refuse(const cMolvarBuf* buf, RefusalKind kind, PyObject* item)
{
    if (buf->refusal != nullptr) {
        buf->refusal->record(kind, item);
    }
    return -1;
}

// What no reader takes, refused under strict (the texts come from the
// caller that asked for it, with the path). -1 with MolvarError set.
MOLVAR_NOINLINE MOLVAR_COLD int refuseStrict(const cMolvarBuf* buf, RefusalKind kind, PyObject* item)
{
    PyErr_SetString(buf->context->errorClass, "refused under strict: no reader takes it");
    return refuse(buf, kind, item);
}

inline bool isStrict(const cMolvarBuf* buf) { return buf->refusal != nullptr && buf->refusal->strict(); }

// Under strict, whether the int `obj` has more digits than a reader takes
// (2**448 or more in magnitude), read with the int's own arithmetic: a
// subclass's methods are not called. 1, 0, or -1 with the exception set.
MOLVAR_NOINLINE int hasTooManyDigits(const Context& context, PyObject* obj)
{
    Ref magnitude = Ref::steal(PyLong_Type.tp_as_number->nb_absolute(obj));
    if (!magnitude) {
        return -1;
    }
    Ref bits = Ref::steal(PyObject_CallMethodNoArgs(magnitude.get(), context.bitLengthName));
    const long count = bits ? PyLong_AsLong(bits.get()) : -1;
    if (count == -1 && PyErr_Occurred()) {
        return -1;
    }
    return count > BIG_INT_BITS ? 1 : 0;
}

// 0 when `obj` may be written, else -1 with the strict refusal set.
inline int checkDigits(PyObject* obj, cMolvarBuf* buf)
{
    if (!isStrict(buf)) {
        return 0;
    }
    const int tooMany = hasTooManyDigits(*buf->context, obj);
    return tooMany == 0 ? 0 : tooMany < 0 ? -1 : refuseStrict(buf, RefusalKind::strictInt, obj);
}

// As a failure unwinds through a list level: the path of a recorded refusal.
MOLVAR_NOINLINE MOLVAR_COLD void unwound(const cMolvarBuf* buf, PyObject* seq, Py_ssize_t index)
{
    if (buf->refusal != nullptr) {
        buf->refusal->unwind(seq, index);
    }
}

// Lengths travel in a 32-bit header; a longer one is refused, not wrapped.
int checkLength(Py_ssize_t length, const char* what, const cMolvarBuf* buf)
{
    if (static_cast<std::size_t>(length) > UINT32_MAX) {
        PyErr_Format(buf->context->errorClass, "%s too long to encode: %zd", what, length);
        return -1;
    }
    return 0;
}


// List levels open in this thread, across encodes nested through host code
// (a pyint2b128 that encodes), which share one native stack. Each encode
// looks its address up once and passes it down as `depth`.
thread_local int threadDepth = 0;

// The address of threadDepth, hidden from the optimiser: otherwise it
// propagates the constant into encodeSequence, which then looks the
// thread-local up (a call) several times per level.
inline int* threadDepthAddress()
{
    int* address = &threadDepth;
    MOLVAR_OPAQUE(address);
    return address;
}

int encodeSequence(PyObject* seq, cMolvarBuf* buf, int* depth, bool settled);

// The items of a list (IS_LIST) or a tuple, at most `size` of them, through
// `tail`; `written` counts them. `settled`: whether a look-up found
// pyint2b128 settled (Converter::settled) since host code last ran, before
// this list in the value or in it; the wide ints that follow are then
// written natively without looking it up again, here and in the lists
// nested in it. -1 with the exception set, or CALLED_OUT when host code
// may have run, with SETTLED when the converter was settled at the end.
template <bool IS_LIST>
MOLVAR_ALWAYS_INLINE int encodeItems(PyObject* seq, Py_ssize_t size, Tail& tail, int* depth,
                                                      Py_ssize_t& written, bool settled)
{
    // The header promises `size` items. Host code run inside (a converter,
    // an int subclass's comparison) may resize a list; it runs only in a
    // call out of line, after which the list's length and items are read
    // again. The loop never passes the header.
    PyObject** items = PySequence_Fast_ITEMS(seq);
    Py_ssize_t limit = IS_LIST ? std::min(size, PyList_GET_SIZE(seq)) : size;
    bool calledOut = false;  // host code may have run: the parents read their items again
    for (; written < limit; ++written) {
        PyObject* item = items[written];
        PyTypeObject* type = Py_TYPE(item);
        // Exact ints, floats and bytes are only lent: the encoder is done
        // with them before any host code runs (a plain int past 32 bits is
        // read, or negated into a new object, before pyint2b128 is called).
        int status;  // CALLED_OUT when host code may have run
        if (type == &PyLong_Type) {
            status = encodeInt(item, tail, settled);
        } else if (type == &PyBytes_Type) {
            status = encodeBytes(item, tail);
        } else if (type == &PyFloat_Type) {
            status = encodeFloat(item, PyFloat_AS_DOUBLE(item), tail);
        } else if ((type == &PyList_Type && PyList_GET_SIZE(item) == 0) ||  // read as another thread may write it
                   (type == &PyTuple_Type && PyTuple_GET_SIZE(item) == 0)) {
            status = tail.appendHeader(0, TYPE_LIST);  // nothing to recurse into
        } else {
            Ref owned = Ref::borrow(item);
            tail.give();
            if (type == &PyList_Type || type == &PyTuple_Type) {
                status = encodeSequence(owned.get(), tail.buffer(), depth, settled);
                status = status < 0 ? -1 : status | NESTED;
            } else {
                status = encodeSubtype(owned.get(), tail.buffer(), depth) < 0 ? -1 : CALLED_OUT;
            }
            tail.take();
        }
        if (status != 0) {
            if (status < 0) {
                unwound(tail.buffer(), seq, written);
                return -1;
            }
            settled = (status & SETTLED) != 0;
            if (status & CALLED_OUT) {
                calledOut = true;
            }
            if (IS_LIST && (status & CALLED_OUT)) {
                items = PySequence_Fast_ITEMS(seq);
                limit = std::min(size, PyList_GET_SIZE(seq));
            }
        }
    }
    return (calledOut ? CALLED_OUT : 0) | (settled ? SETTLED : 0);
}

int encodeSequenceLocked(PyObject* seq, cMolvarBuf* buf, int* depth, bool settled)
{
    if (*depth >= MAX_DEPTH) {
        PyErr_Format(PyExc_RecursionError, "maximum depth of %d nested lists exceeded while encoding", MAX_DEPTH);
        return refuse(buf, RefusalKind::tooDeep, seq);
    }
    const bool isList = PyList_Check(seq);
    const Py_ssize_t size = isList ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
    if (checkLength(size, isList ? "list" : "tuple", buf) < 0) {
        return -1;
    }
    if (size > SIZE_LIMIT && isStrict(buf)) {
        return refuseStrict(buf, RefusalKind::strictList, seq);
    }
    Tail tail(buf);
    if (tail.appendHeader(static_cast<uint32_t>(size), TYPE_LIST) < 0) {
        tail.give();
        return -1;
    }
    ++*depth;
    Py_ssize_t written = 0;
    const int status = isList ? encodeItems<true>(seq, size, tail, depth, written, settled)
                              : encodeItems<false>(seq, size, tail, depth, written, settled);
    tail.give();
    --*depth;
    // A list resized while it was encoded would leave the header wrong and
    // the stream's framing broken: refused, as dict iteration does.
    if (status >= 0 && (written != size || (isList && PyList_GET_SIZE(seq) != size))) {
        PyErr_SetString(PyExc_RuntimeError, "list changed size during encoding");
        return -1;
    }
    return status;
}

// A list is encoded holding its lock, where the build has no global lock:
// another thread then cannot resize it under the item loop, only between
// two items while host code runs (after which the loop reads it again).
int encodeSequence(PyObject* seq, cMolvarBuf* buf, int* depth, bool settled)
{
#ifdef Py_GIL_DISABLED
    if (PyList_Check(seq)) {
        CriticalSection section(seq);
        return encodeSequenceLocked(seq, buf, depth, settled);
    }
#endif
    return encodeSequenceLocked(seq, buf, depth, settled);
}

// Whether `obj` < 0, asked of the object, whose class may define its own
// comparison: 1, 0, or -1 with the exception set.
int isBelowZero(PyObject* obj)
{
    Ref zero = Ref::steal(PyLong_FromLong(0));  // a small int: cached by the interpreter
    return zero ? PyObject_RichCompareBool(obj, zero.get(), Py_LT) : -1;
}

// A big int written as the companion's own converter writes it: the digits
// of `value`'s magnitude (an exact int), then `type`. 0, or -1.
int appendNativeBigInt(cMolvarBuf* buf, PyObject* value, unsigned char type)
{
    return cMolvar_writeBigDigits(buf, value) < 0 ? -1 : cMolvarBuf_appendByte(buf, type);
}

// An int outside the 32-bit range: its magnitude's digits come from the
// pyint2b128 installed in cMolvar, written through the buffer's own
// `write`; or, when that is the companion's own, are written natively.
// `sign` is the sign when it is already known without running host code,
// and 0 when it must be asked of the object. Returns CALLED_OUT, as the
// look-up may run host code (see lookUp), with SETTLED when the companion's
// own converter, found installed, wrote an exact int.
int encodeBigInt(PyObject* obj, cMolvarBuf* buf, int sign)
{
    // An item of the list being encoded is lent, and host code run here
    // (the look-up of the converter, a subclass's comparison) may drop it.
    const Ref held = Ref::borrow(obj);
    if (checkDigits(obj, buf) < 0) {
        return -1;
    }
    if (sign == 0) {
        const int negative = isBelowZero(obj);
        if (negative < 0) {
            return -1;
        }
        sign = negative ? -1 : 1;
    }
    Context& context = *buf->context;
    const Converter converter = converterInUse(context, true);
    if (!converter.callable) {
        return -1;
    }
    const unsigned char type = sign < 0 ? TYPE_NEGLONG : TYPE_LONG;
    const bool native = converter.native;
    if (native && PyLong_CheckExact(obj)) {
        // The magnitude's digits, read from the int itself: nothing to negate.
        if (appendNativeBigInt(buf, obj, type) < 0) {
            return -1;
        }
        return converter.settled ? CALLED_OUT | SETTLED : CALLED_OUT;
    }
    Ref magnitude = sign < 0 ? Ref::steal(PyNumber_Negative(obj)) : Ref::borrow(obj);
    if (!magnitude) {
        return -1;
    }
    if (native && PyLong_CheckExact(magnitude.get())) {
        // A subclass's magnitude that is a plain int; one below zero (its
        // comparison lied) goes to the converter, which refuses it.
        const int negative = isBelowZero(magnitude.get());
        if (negative < 0) {
            return -1;
        }
        if (!negative) {
            return appendNativeBigInt(buf, magnitude.get(), type) < 0 ? -1 : CALLED_OUT;
        }
    }
    Ref write = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(buf), context.writeName));
    if (!write) {
        return -1;
    }
    PyObject* args[] = {magnitude.get(), write.get()};
    Ref result = Ref::steal(PyObject_Vectorcall(converter.callable.get(), args, 2, nullptr));
    if (!result) {
        return -1;
    }
    // `write` may have moved the block: append through the fields as it left them.
    return cMolvarBuf_appendByte(buf, type) < 0 ? -1 : CALLED_OUT;
}

// An int past 32 bits, through the converter in use. Out of line, to keep
// encodeInt's common case small. The sign of a plain int is known; a
// subclass is asked, as it may define its own comparison.
MOLVAR_NOINLINE int encodeWideInt(PyObject* obj, cMolvarBuf* buf)
{
    if (!PyLong_CheckExact(obj)) {
        return encodeBigInt(obj, buf, 0);
    }
#if defined(MOLVAR_INT_LAYOUT)
    return encodeBigInt(obj, buf, pylongIsNegative(obj) ? -1 : 1);
#elif PY_VERSION_HEX >= 0x030E0000
    const int negative = PyLong_IsNegative(obj);
    return negative < 0 ? -1 : encodeBigInt(obj, buf, negative ? -1 : 1);
#else
    return encodeBigInt(obj, buf, 0);  // a plain int's comparison runs no host code
#endif
}

// The tail given back around it (and the addresses of the tail and of
// `settled` never taken, so that they can stay in registers). A wide
// int written by the companion's own converter, found installed, tells the
// caller's item loop that it is installed.
inline int encodeWideInt(PyObject* obj, Tail& tail, bool& settled)
{
    tail.give();
    const int status = encodeWideInt(obj, tail.buffer());
    tail.take();
    settled = status > 0 && (status & SETTLED) != 0;
    return status;
}

// An exact int past 32 bits whose magnitude fits in 64 bits, when the
// companion's own converter is known to be installed: its base-128 digits
// written here, as that converter writes them.
inline int appendWideDigits(uint64_t magnitude, bool negative, Tail& tail)
{
    constexpr std::size_t MAX_DIGITS = (64 + 6) / 7;
    if (tail.reserve(MAX_DIGITS + 1) < 0) {
        return -1;
    }
    unsigned char* out = tail.at();
    std::size_t count = 0;
    do {
        out[count++] = static_cast<unsigned char>(magnitude & DIGIT_MASK);
        magnitude >>= 7;
    } while (magnitude != 0);
    out[count++] = negative ? TYPE_NEGLONG : TYPE_LONG;
    tail.advance(count);
    return 0;
}

#if defined(MOLVAR_INT_LAYOUT)
// Any exact int past 32 bits, under the same terms: written by the
// companion's own converter's native code, with no look-up.
MOLVAR_NOINLINE int appendOwnDigits(PyObject* obj, bool negative, cMolvarBuf* buf)
{
    return checkDigits(obj, buf) < 0 ? -1 : appendNativeBigInt(buf, obj, negative ? TYPE_NEGLONG : TYPE_LONG);
}

inline int appendOwnDigits(PyObject* obj, bool negative, Tail& tail)
{
    tail.give();
    const int status = appendOwnDigits(obj, negative, tail.buffer());
    tail.take();
    return status;
}
#endif

// Inlined into the item loop: ints are the most common items. Where the
// int layout is known, one of up to two internal digits is read inline,
// without a call; one digit (under 2**PyLong_SHIFT, 2**30 on usual builds)
// always fits in 32 bits, and takes the path with the fewest branches.
// `settled` (see encodeItems) is true only for exact ints. 0,
// CALLED_OUT (with SETTLED), or -1.
MOLVAR_ALWAYS_INLINE int encodeInt(PyObject* obj, Tail& tail, bool& settled)
{
#if defined(MOLVAR_INT_LAYOUT)
    static_assert(2 * PyLong_SHIFT < 64 && PyLong_SHIFT < 32, "one digit fits in 32 bits, two in 64");
    const Py_ssize_t count = pylongDigitCount(obj);
    const bool negative = pylongIsNegative(obj);
    uint64_t magnitude = 0;  // zero has no digit to read
    if (MOLVAR_LIKELY(count == 1)) {
        magnitude = pylongDigits(obj)[0];
    } else if (count == 2) {
        magnitude = pylongDigits(obj)[0] | static_cast<uint64_t>(pylongDigits(obj)[1]) << PyLong_SHIFT;
        if (magnitude > uint64_t{INT32_MAX} + negative) {
            return settled ? appendWideDigits(magnitude, negative, tail) : encodeWideInt(obj, tail, settled);
        }
    } else if (count == 3 && settled && pylongDigits(obj)[2] >> (64 - 2 * PyLong_SHIFT) == 0) {
        // Past 2 * PyLong_SHIFT bits and within 64.
        const digit* digits = pylongDigits(obj);
        magnitude = digits[0] | static_cast<uint64_t>(digits[1]) << PyLong_SHIFT |
                    static_cast<uint64_t>(digits[2]) << (2 * PyLong_SHIFT);
        return appendWideDigits(magnitude, negative, tail);
    } else if (count != 0) {
        return settled ? appendOwnDigits(obj, negative, tail) : encodeWideInt(obj, tail, settled);
    }
#else
    // The public path: the value read through the C API (an int subclass's
    // too, without calling its methods).
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    const bool negative = value < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    if (overflow != 0) {
        return encodeWideInt(obj, tail, settled);
    }
    if (value > INT32_MAX || value < INT32_MIN) {
        return settled ? appendWideDigits(magnitude, negative, tail) : encodeWideInt(obj, tail, settled);
    }
#endif
    return tail.appendHeader(static_cast<uint32_t>(magnitude), negative ? TYPE_NEGINT : TYPE_INT);
}

// Inlined into the item loop, as encodeInt; a refused float (infinity,
// NaN) takes the out-of-line call that raises, and nothing is committed.
MOLVAR_ALWAYS_INLINE int encodeFloat(PyObject* obj, double value, Tail& tail)
{
    if (tail.reserve(1 + FLOAT_BODY_SIZE) < 0) {
        return -1;
    }
    unsigned char* out = tail.at();
    if (packDouble(value, out + 1) != PackStatus::ok) {
        return cMolvar_packDouble(value, out + 1) < 0 ? refuse(tail.buffer(), RefusalKind::notFinite, obj) : 0;
    }
    out[0] = TYPE_FLOAT;
    tail.advance(1 + FLOAT_BODY_SIZE);
    return 0;
}

// Copies `size` bytes. Up to 32, as two copies of a fixed size that overlap
// in the middle, inline: most byte strings are short (keys, words), and a
// call to memcpy costs as much as the copy. Neither side is read or written
// past its `size` bytes.
MOLVAR_ALWAYS_INLINE void copyBody(unsigned char* out, const char* from, std::size_t size)
{
    if (size >= 8 && size <= 16) {
        std::memcpy(out, from, 8);
        std::memcpy(out + size - 8, from + size - 8, 8);
    } else if (size > 16 && size <= 32) {
        std::memcpy(out, from, 16);
        std::memcpy(out + size - 16, from + size - 16, 16);
    } else if (size >= 4 && size < 8) {
        std::memcpy(out, from, 4);
        std::memcpy(out + size - 4, from + size - 4, 4);
    } else if (size != 0 && size < 4) {
        out[0] = static_cast<unsigned char>(from[0]);
        out[size / 2] = static_cast<unsigned char>(from[size / 2]);
        out[size - 1] = static_cast<unsigned char>(from[size - 1]);
    } else {
        std::memcpy(out, from, size);
    }
}

// Inlined into the item loop, as encodeInt.
MOLVAR_ALWAYS_INLINE int encodeBytes(PyObject* obj, Tail& tail)
{
    // The body's room is asked for apart, so that a large one gets a block
    // of exactly the size needed (see cMolvarBuf_grow).
    const Py_ssize_t size = PyBytes_GET_SIZE(obj);
    if (size > SIZE_LIMIT && isStrict(tail.buffer())) {
        return refuseStrict(tail.buffer(), RefusalKind::strictBytes, obj);
    }
    if (checkLength(size, "bytes", tail.buffer()) < 0 || tail.appendHeader(static_cast<uint32_t>(size), TYPE_STRING) < 0 ||
        tail.reserve(static_cast<std::size_t>(size)) < 0) {
        return -1;
    }
    copyBody(tail.at(), PyBytes_AS_STRING(obj), static_cast<std::size_t>(size));
    tail.advance(static_cast<std::size_t>(size));
    return 0;
}

int refuseType(PyObject* obj, const cMolvarBuf* buf)
{
    char text[ERROR_TEXT_SIZE];
    std::snprintf(text, sizeof text, "Unknown Python Type: %s", Py_TYPE(obj)->tp_name);
    PyErr_SetString(buf->context->errorClass, text);
    return refuse(buf, RefusalKind::type, obj);
}

// An int, float or bytes, or a subclass of one, written through a tail of
// its own.
template <typename Encode>
int encodeScalar(cMolvarBuf* buf, Encode encode)
{
    Tail tail(buf);
    const int status = encode(tail);
    tail.give();
    return status;
}

// The subtype tests, in their order: list, tuple, int, float, bytes.
int encodeSubtype(PyObject* obj, cMolvarBuf* buf, int* depth)
{
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
        return encodeSequence(obj, buf, depth, false);
    }
    if (PyLong_Check(obj)) {
        return encodeScalar(buf, [obj](Tail& tail) {
            bool settled = false;
            return encodeInt(obj, tail, settled) < 0 ? -1 : 0;
        });
    }
    if (PyFloat_Check(obj)) {
        return encodeScalar(buf, [obj](Tail& tail) { return encodeFloat(obj, PyFloat_AS_DOUBLE(obj), tail); });
    }
    if (PyBytes_Check(obj)) {
        return encodeScalar(buf, [obj](Tail& tail) { return encodeBytes(obj, tail); });
    }
    return refuseType(obj, buf);
}

}  // namespace

// An exact list or tuple goes straight to its loop; anything else takes the
// subtype tests, which give exact ints, floats and bytes the same result.
int cMolvar_encodeObject(PyObject* obj, cMolvarBuf* buf)
{
    PyTypeObject* type = Py_TYPE(obj);
    const int status = type == &PyList_Type || type == &PyTuple_Type
                           ? encodeSequence(obj, buf, threadDepthAddress(), false)
                           : encodeSubtype(obj, buf, threadDepthAddress());
    return status < 0 ? -1 : 0;
}

PyObject* cMolvar_encodeLoneBytes(PyObject* bytes)
{
    const Py_ssize_t size = PyBytes_GET_SIZE(bytes);
    unsigned char header[MAX_HEADER_BYTES + 1];
    std::size_t count = cMolvar_writeHeaderDigits(static_cast<uint32_t>(size), header);
    header[count++] = TYPE_STRING;
    PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count) + size);
    if (result == nullptr) {
        return nullptr;
    }
    char* out = PyBytes_AS_STRING(result);
    std::memcpy(out, header, count);
    std::memcpy(out + count, PyBytes_AS_STRING(bytes), static_cast<std::size_t>(size));
    return result;
}

PyObject* encodeCall(Context& context, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "function takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    if (Py_TYPE(args[1]) != context.bufType) {
        PyErr_SetString(context.errorClass, "Encoding only accepts MolvarBufs");
        return nullptr;
    }
    CriticalSection section(args[1]);
    auto* buf = reinterpret_cast<cMolvarBuf*>(args[1]);
    Claim claim(buf->owner, BUFFER_NAME);
    if (!claim.ok() || cMolvar_encodeObject(args[0], buf) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace molvar
