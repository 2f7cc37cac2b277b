#include "codec/bigint.h"

#include <cstdint>
#include <cstring>

#include "codec/buffer.h"
#include "codec/format.h"
#include "codec/pylong.h"

// The conversions read and write the digit arrays of Python's ints
// directly (codec/pylong.h): one pass over the bits, no intermediate
// bytes, no call.

namespace molvar {
namespace {

constexpr int DIGIT_BITS = 7;
constexpr int HOST_BITS = PyLong_SHIFT;
static_assert(HOST_BITS + DIGIT_BITS < 64, "digit accumulators are 64 bits");

// Eight digits as one 56-bit value, the first lowest: the digits' 7-bit
// fields closed up pairwise, in 16-, 32- and 64-bit lanes.
inline uint64_t packEightDigits(const unsigned char* digits)
{
    uint64_t x = cMolvar_loadLittleEndian64(digits);
    x = (x & 0x007F007F007F007Full) | ((x >> 1) & 0x3F803F803F803F80ull);
    x = (x & 0x00003FFF00003FFFull) | ((x >> 2) & 0x0FFFC0000FFFC000ull);
    return (x & 0x000000000FFFFFFFull) | ((x >> 4) & 0x00FFFFFFF0000000ull);
}
static_assert(HOST_BITS + 7 <= 64, "a host digit is cut from eight bytes");

inline int bitLength(uint32_t word) { return word == 0 ? 0 : 32 - __builtin_clz(word); }

}  // namespace

int cMolvar_writeBigDigits(cMolvarBuf* buf, PyObject* value)
{
    const digit* in = pylongDigits(value);
    const Py_ssize_t inCount = pylongDigitCount(value);
    if (inCount == 0) {
        return cMolvarBuf_appendByte(buf, 0);  // zero is the one digit 00
    }
    const auto bits = static_cast<std::size_t>(HOST_BITS * (inCount - 1) + bitLength(in[inCount - 1]));
    const std::size_t count = (bits + DIGIT_BITS - 1) / DIGIT_BITS;
    // The loop writes every bit of the top host digit, leading zeros too:
    // room for them is reserved, and only `count` digits are committed.
    const std::size_t room = (static_cast<std::size_t>(HOST_BITS * inCount) + DIGIT_BITS - 1) / DIGIT_BITS;
    if (cMolvarBuf_reserve(buf, room) < 0) {
        return -1;
    }
    unsigned char* out = cMolvarBuf_end(buf);
    uint64_t pending = 0;  // bits read and not yet written, low first
    int pendingBits = 0;
    for (Py_ssize_t i = 0; i < inCount; ++i) {
        pending |= static_cast<uint64_t>(in[i]) << pendingBits;
        pendingBits += HOST_BITS;
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
        // At most 63 bits: the negation fits.
        return PyLong_FromLongLong(negative ? -static_cast<long long>(value) : static_cast<long long>(value));
    }
    // The top digit is not zero, so the value has exactly `bits` bits and
    // its host form has no leading zero digit, as the host requires.
    const auto bits = static_cast<std::size_t>(DIGIT_BITS * (count - 1) + bitLength(digits[count - 1]));
    const auto outCount = static_cast<Py_ssize_t>((bits + HOST_BITS - 1) / HOST_BITS);
    PyLongObject* value = _PyLong_New(outCount);
    if (value == nullptr) {
        return nullptr;
    }
    // The digits are closed up into a plain little-endian bit array, eight
    // (56 bits, 7 bytes) at a time, and each host digit is cut from the
    // eight bytes that hold its first bit: no step waits for the one before.
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
    digit* out = pylongDigits(reinterpret_cast<PyObject*>(value));
    for (Py_ssize_t i = 0; i < outCount; ++i) {
        const auto bit = static_cast<std::size_t>(HOST_BITS * i);
        out[i] = static_cast<digit>((cMolvar_loadLittleEndian64(packed + bit / 8) >> (bit % 8)) & PyLong_MASK);
    }
    if (negative) {
        pylongSetNegative(reinterpret_cast<PyObject*>(value));
    }
    return reinterpret_cast<PyObject*>(value);
}

}  // namespace molvar
