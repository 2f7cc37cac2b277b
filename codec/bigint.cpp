#include "codec/bigint.h"

#include <cstdint>
#include <cstring>

#include "codec/buffer.h"
#include "codec/context.h"
#include "codec/format.h"
#include "codec/portability.h"
#include "codec/pylong.h"
#include "codec/ref.h"

// The conversions read and write the digit arrays of Python's ints in one
// pass over the bits, with no call per digit: through the int's own layout
// where this release's is known (codec/pylong.h), through PyLong_Export and
// PyLongWriter from 3.14, and elsewhere through the int's bytes.

namespace molvar {
namespace {

constexpr int DIGIT_BITS = 7;
constexpr int HOST_BITS = PyLong_SHIFT;
static_assert(HOST_BITS + DIGIT_BITS < 64, "digit accumulators are 64 bits");

#if PY_VERSION_HEX >= 0x030E0000
// Whether the layout that PyLong_Export and PyLongWriter use is the array
// of `digit`s that the code below reads and writes (as on every CPython).
bool nativeLayoutIsDigits()
{
    const PyLongLayout* layout = PyLong_GetNativeLayout();
    return layout->bits_per_digit == HOST_BITS && layout->digit_size == sizeof(digit) && layout->digits_order == -1 &&
           layout->digit_endianness == (PY_LITTLE_ENDIAN ? -1 : 1);
}
#endif

// Eight digits as one 56-bit value, the first lowest.
inline uint64_t packEightDigits(const unsigned char* digits)
{
    return cMolvar_packEightDigits(cMolvar_loadLittleEndian64(digits));
}
static_assert(HOST_BITS + 7 <= 64, "a host digit is cut from eight bytes");

inline int bitLength(uint32_t word) { return word == 0 ? 0 : 32 - countLeadingZeros32(word); }

// Cuts `outCount` host digits from the little-endian bit array `packed`
// (readable 8 bytes past the last one needed): each from the eight bytes
// that hold its first bit, so no step waits for the one before.
[[maybe_unused]] inline void cutHostDigits(const unsigned char* packed, digit* out, Py_ssize_t outCount)
{
    for (Py_ssize_t i = 0; i < outCount; ++i) {
        const auto bit = static_cast<std::size_t>(HOST_BITS * i);
        out[i] = static_cast<digit>((cMolvar_loadLittleEndian64(packed + bit / 8) >> (bit % 8)) & PyLong_MASK);
    }
}

// The int whose little-endian bytes are bytes[0, size): the public path.
[[maybe_unused]] PyObject* intFromLittleEndian(const unsigned char* bytes, Py_ssize_t size)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyLong_FromUnsignedNativeBytes(bytes, static_cast<std::size_t>(size),
                                          Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
#else
    // The method's name interned here, where no context is at hand: one made
    // anew for the call would be kept by the type attribute cache (see the
    // context's names, codec/context.h).
    Ref data = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), size));
    Ref name = data ? Ref::steal(PyUnicode_InternFromString("from_bytes")) : Ref();
    Ref order = name ? Ref::steal(PyUnicode_FromString("little")) : Ref();
    if (!order) {
        return nullptr;
    }
    return PyObject_CallMethodObjArgs(reinterpret_cast<PyObject*>(&PyLong_Type), name.get(), data.get(), order.get(),
                                      nullptr);
#endif
}

// The public path everywhere: the int of the magnitude's bytes, `bits` of
// them, negated if `negative`.
[[maybe_unused]] PyObject* readThroughBytes(const unsigned char* packed, std::size_t bits, bool negative)
{
    Ref magnitude = Ref::steal(intFromLittleEndian(packed, static_cast<Py_ssize_t>((bits + 7) / 8)));
    if (!magnitude || !negative) {
        return magnitude.release();
    }
    return PyNumber_Negative(magnitude.get());
}

}  // namespace

namespace {

// Appends the base-128 digits of the magnitude whose BITS-bit digits are
// in[0, inCount), least significant first, the top one not zero.
template <int BITS, typename Digit>
int appendDigits(cMolvarBuf* buf, const Digit* in, Py_ssize_t inCount)
{
    static_assert(BITS + DIGIT_BITS < 64, "digit accumulators are 64 bits");
    if (inCount == 0) {
        return cMolvarBuf_appendByte(buf, 0);  // zero is the one digit 00
    }
    const auto bits = static_cast<std::size_t>(BITS * (inCount - 1) + bitLength(in[inCount - 1]));
    const std::size_t count = (bits + DIGIT_BITS - 1) / DIGIT_BITS;
    // The loop writes every bit of the top input digit, leading zeros too:
    // room for them is reserved, and only `count` digits are committed.
    const std::size_t room = (static_cast<std::size_t>(BITS * inCount) + DIGIT_BITS - 1) / DIGIT_BITS;
    if (cMolvarBuf_reserve(buf, room) < 0) {
        return -1;
    }
    unsigned char* out = cMolvarBuf_end(buf);
    uint64_t pending = 0;  // bits read and not yet written, low first
    int pendingBits = 0;
    for (Py_ssize_t i = 0; i < inCount; ++i) {
        pending |= static_cast<uint64_t>(in[i]) << pendingBits;
        pendingBits += BITS;
        do {
            *out++ = static_cast<unsigned char>(pending & DIGIT_MASK);
            pending >>= DIGIT_BITS;
            pendingBits -= DIGIT_BITS;
        } while (pendingBits >= DIGIT_BITS);
    }
    if (pendingBits > 0) {
        *out = static_cast<unsigned char>(pending);
    }
    cMolvarBuf_commit(buf, count);
    return 0;
}

// The public path everywhere: the magnitude's bytes, little-endian, from
// the int's own to_bytes (`value` is an exact int: no host code runs).
[[maybe_unused]] int appendDigitsThroughBytes(cMolvarBuf* buf, PyObject* value)
{
    Ref magnitude = Ref::steal(PyNumber_Absolute(value));
    if (!magnitude) {
        return -1;
    }
    const Context& context = *buf->context;
    Ref bitCount = Ref::steal(PyObject_CallMethodNoArgs(magnitude.get(), context.bitLengthName));
    if (!bitCount) {
        return -1;
    }
    const Py_ssize_t bits = PyLong_AsSsize_t(bitCount.get());
    if (bits < 0) {
        return -1;
    }
    Ref length = Ref::steal(PyLong_FromSsize_t((bits + 7) / 8));
    Ref order = length ? Ref::steal(PyUnicode_FromString("little")) : Ref();
    Ref bytes = order ? Ref::steal(PyObject_CallMethodObjArgs(magnitude.get(), context.toBytesName, length.get(),
                                                               order.get(), nullptr))
                      : Ref();
    if (!bytes) {
        return -1;
    }
    return appendDigits<8>(buf, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get())),
                           PyBytes_GET_SIZE(bytes.get()));
}

}  // namespace

int cMolvar_writeBigDigits(cMolvarBuf* buf, PyObject* value)
{
#if defined(MOLVAR_INT_LAYOUT)
    return appendDigits<HOST_BITS>(buf, pylongDigits(value), pylongDigitCount(value));
#elif PY_VERSION_HEX >= 0x030E0000
    if (!nativeLayoutIsDigits()) {
        return appendDigitsThroughBytes(buf, value);
    }
    PyLongExport exported;
    if (PyLong_Export(value, &exported) < 0) {
        return -1;
    }
    int status = 0;
    if (exported.digits != nullptr) {
        status = appendDigits<HOST_BITS>(buf, static_cast<const digit*>(exported.digits), exported.ndigits);
    } else {
        // A value that fits in 64 bits comes as one: cut into host digits.
        uint64_t magnitude = exported.value < 0 ? 0 - static_cast<uint64_t>(exported.value)
                                                : static_cast<uint64_t>(exported.value);
        digit digits[(64 + HOST_BITS - 1) / HOST_BITS];
        Py_ssize_t count = 0;
        for (; magnitude != 0; magnitude >>= HOST_BITS) {
            digits[count++] = static_cast<digit>(magnitude & PyLong_MASK);
        }
        status = appendDigits<HOST_BITS>(buf, digits, count);
    }
    PyLong_FreeExport(&exported);
    return status;
#else
    return appendDigitsThroughBytes(buf, value);
#endif
}

PyObject* cMolvar_intFromMagnitude(uint64_t magnitude, bool negative)
{
#if defined(MOLVAR_INT_LAYOUT) && PY_VERSION_HEX < 0x030E0000 && PyLong_SHIFT == 30
    // Its digits written straight into a new int, which PyLong_FromLongLong
    // would find by a loop of one step per digit.
    if (magnitude >> PyLong_SHIFT != 0 && magnitude >> 63 == 0) {
        const Py_ssize_t count = magnitude >> (2 * PyLong_SHIFT) == 0 ? 2 : 3;
        PyLongObject* value = _PyLong_New(count);
        if (value == nullptr) {
            return nullptr;
        }
        digit* out = pylongDigits(reinterpret_cast<PyObject*>(value));
        out[0] = static_cast<digit>(magnitude & PyLong_MASK);
        out[1] = static_cast<digit>((magnitude >> PyLong_SHIFT) & PyLong_MASK);
        if (count == 3) {
            out[2] = static_cast<digit>(magnitude >> (2 * PyLong_SHIFT));
        }
        if (negative) {
            pylongSetNegative(reinterpret_cast<PyObject*>(value));
        }
        return reinterpret_cast<PyObject*>(value);
    }
#endif
    if (!negative) {
        return PyLong_FromUnsignedLongLong(magnitude);
    }
    if (magnitude <= static_cast<uint64_t>(INT64_MAX)) {
        return PyLong_FromLongLong(-static_cast<long long>(magnitude));
    }
    Ref positive = Ref::steal(PyLong_FromUnsignedLongLong(magnitude));
    return positive ? PyNumber_Negative(positive.get()) : nullptr;
}

PyObject* cMolvar_readBigDigits(const unsigned char* digits, Py_ssize_t count, bool negative)
{
    if (count > HEADER_LIMIT) {
        // The reader never passes more; the block below is sized for it.
        PyErr_SetString(PyExc_SystemError, "big integer of more digits than a header holds");
        return nullptr;
    }
    while (count > 0 && digits[count - 1] == 0) {
        --count;  // leading zeros carry nothing
    }
    if (count * DIGIT_BITS <= 64) {
        uint64_t value = 0;
        for (Py_ssize_t i = count; i-- > 0;) {
            value = (value << DIGIT_BITS) | digits[i];
        }
        return cMolvar_intFromMagnitude(value, negative);  // at most 63 bits
    }
    // The top digit is not zero, so the value has exactly `bits` bits and
    // its host form has no leading zero digit, as the host requires. The
    // digits are closed up into a plain little-endian bit array (the
    // magnitude's bytes), eight (56 bits, 7 bytes) at a time.
    const auto bits = static_cast<std::size_t>(DIGIT_BITS * (count - 1) + bitLength(digits[count - 1]));
    unsigned char packed[HEADER_LIMIT / 8 * 7 + 8];
    Py_ssize_t group = 0;
    for (; 8 * group < count; ++group) {
        const unsigned char* eight = digits + 8 * group;
        unsigned char last[8] = {};
        if (count - 8 * group < 8) {
            std::memcpy(last, eight, static_cast<std::size_t>(count - 8 * group));  // zeros above the last digit
            eight = last;
        }
        cMolvar_storeLittleEndian64(packEightDigits(eight), packed + 7 * group);
    }
    cMolvar_storeLittleEndian64(0, packed + 7 * group);  // what the top host digit reads past the value
    [[maybe_unused]] const auto outCount = static_cast<Py_ssize_t>((bits + HOST_BITS - 1) / HOST_BITS);
#if PY_VERSION_HEX >= 0x030E0000
    if (nativeLayoutIsDigits()) {
        void* writable = nullptr;
        PyLongWriter* writer = PyLongWriter_Create(negative, outCount, &writable);
        if (writer == nullptr) {
            return nullptr;
        }
        cutHostDigits(packed, static_cast<digit*>(writable), outCount);
        return PyLongWriter_Finish(writer);
    }
    return readThroughBytes(packed, bits, negative);
#elif defined(MOLVAR_INT_LAYOUT)
    PyLongObject* value = _PyLong_New(outCount);
    if (value == nullptr) {
        return nullptr;
    }
    cutHostDigits(packed, pylongDigits(reinterpret_cast<PyObject*>(value)), outCount);
    if (negative) {
        pylongSetNegative(reinterpret_cast<PyObject*>(value));
    }
    return reinterpret_cast<PyObject*>(value);
#else
    return readThroughBytes(packed, bits, negative);
#endif
}

}  // namespace molvar
