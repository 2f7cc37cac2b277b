#include "codec/bigint.h"

#include <cstdint>

#include "codec/buffer.h"
#include "codec/format.h"
#include "module/module.h"
#include "module/ref.h"

namespace molvar {
namespace {

constexpr int DIGIT_BITS = 7;
constexpr int BLOCK_BYTES = 7;   // 56 bits ...
constexpr int BLOCK_DIGITS = 8;  // ... are 8 digits

// Appends the digits of the `size` little-endian bytes at `bytes`, which
// hold a number of `bits` bits (at least 1).
int appendDigits(cMolvarBuf* buf, const unsigned char* bytes, Py_ssize_t size, std::size_t bits)
{
    const std::size_t count = (bits + DIGIT_BITS - 1) / DIGIT_BITS;
    if (cMolvarBuf_reserve(buf, count) < 0) {
        return -1;
    }
    unsigned char* out = cMolvarBuf_end(buf);
    // Whole blocks first: 7 bytes are exactly 8 digits.
    Py_ssize_t i = 0;
    std::size_t written = 0;
    for (; i + BLOCK_BYTES <= size && written + BLOCK_DIGITS <= count; i += BLOCK_BYTES, written += BLOCK_DIGITS) {
        uint64_t block = 0;
        for (int k = 0; k < BLOCK_BYTES; ++k) {
            block |= static_cast<uint64_t>(bytes[i + k]) << (8 * k);
        }
        for (int k = 0; k < BLOCK_DIGITS; ++k) {
            out[written + static_cast<std::size_t>(k)] = static_cast<unsigned char>((block >> (DIGIT_BITS * k)) & DIGIT_MASK);
        }
    }
    uint32_t pending = 0;  // bits read and not yet written, low first
    int pendingBits = 0;
    for (; i < size && written < count; ++i) {
        pending |= static_cast<uint32_t>(bytes[i]) << pendingBits;
        pendingBits += 8;
        while (pendingBits >= DIGIT_BITS && written < count) {
            out[written++] = static_cast<unsigned char>(pending & DIGIT_MASK);
            pending >>= DIGIT_BITS;
            pendingBits -= DIGIT_BITS;
        }
    }
    if (written < count) {
        out[written++] = static_cast<unsigned char>(pending & DIGIT_MASK);
    }
    cMolvarBuf_commit(buf, count);
    return 0;
}

}  // namespace

int cMolvar_writeBigDigits(cMolvarBuf* buf, PyObject* magnitude)
{
    // Up to 63 bits without an exception for the larger ones (making one
    // would cost more than the conversion).
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(magnitude, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (overflow == 0) {
        const auto small = static_cast<unsigned long long>(value);
        unsigned char bytes[sizeof small];
        for (std::size_t i = 0; i < sizeof small; ++i) {
            bytes[i] = static_cast<unsigned char>(small >> (8 * i));
        }
        const std::size_t bits = small == 0 ? 1 : 64 - static_cast<std::size_t>(__builtin_clzll(small));
        return appendDigits(buf, bytes, sizeof small, bits);
    }
#if PY_VERSION_HEX >= 0x030D0000
    // Past 63 bits, from 3.13: the bytes copied out natively, into a block
    // on the stack when they fit (ints the reader takes have 56 bytes at most).
    constexpr int FLAGS = Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER;
    unsigned char local[64];
    Py_ssize_t size = PyLong_AsNativeBytes(magnitude, local, sizeof local, FLAGS);
    if (size < 0) {
        return -1;
    }
    unsigned char* bytes = local;
    if (static_cast<std::size_t>(size) > sizeof local) {
        bytes = static_cast<unsigned char*>(PyMem_Malloc(static_cast<std::size_t>(size)));
        if (bytes == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        if (PyLong_AsNativeBytes(magnitude, bytes, size, FLAGS) < 0) {
            PyMem_Free(bytes);
            return -1;
        }
    }
    Py_ssize_t top = size;
    while (top > 1 && bytes[top - 1] == 0) {
        --top;  // the size asked for may have room for a sign bit
    }
    const auto bits = static_cast<std::size_t>(8 * (top - 1) + (32 - __builtin_clz(bytes[top - 1] | 1u)));
    const int status = appendDigits(buf, bytes, top, bits);
    if (bytes != local) {
        PyMem_Free(bytes);
    }
    return status;
#else
    // Past 63 bits: the bytes from int.to_bytes, in one pass.
    static PyObject* bitLengthName = nullptr;
    static PyObject* toBytesName = nullptr;
    static PyObject* little = nullptr;
    if (cMolvar_intern(bitLengthName, "bit_length") < 0 || cMolvar_intern(toBytesName, "to_bytes") < 0 ||
        cMolvar_intern(little, "little") < 0) {
        return -1;
    }
    Ref bitLength = Ref::steal(PyObject_VectorcallMethod(bitLengthName, &magnitude, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!bitLength) {
        return -1;
    }
    const Py_ssize_t bits = PyLong_AsSsize_t(bitLength.get());
    if (bits < 0) {
        return -1;
    }
    Ref size = Ref::steal(PyLong_FromSsize_t((bits + 7) / 8));
    if (!size) {
        return -1;
    }
    PyObject* args[] = {magnitude, size.get(), little};
    Ref bytes = Ref::steal(PyObject_VectorcallMethod(toBytesName, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!bytes) {
        return -1;
    }
    return appendDigits(buf, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get())),
                        PyBytes_GET_SIZE(bytes.get()), static_cast<std::size_t>(bits));
#endif
}

PyObject* cMolvar_readBigDigits(const unsigned char* digits, Py_ssize_t count)
{
    if (count * DIGIT_BITS <= 64) {
        unsigned long long value = 0;
        for (Py_ssize_t i = count; i-- > 0;) {
            value = (value << DIGIT_BITS) | digits[i];
        }
        return PyLong_FromUnsignedLongLong(value);
    }
    // Packed into little-endian bytes, then made an int: natively from
    // 3.13, by int.from_bytes before.
    const Py_ssize_t size = (count * DIGIT_BITS + 7) / 8;
#if PY_VERSION_HEX >= 0x030D0000
    unsigned char local[64];
    unsigned char* out = local;
    if (static_cast<std::size_t>(size) > sizeof local) {
        out = static_cast<unsigned char*>(PyMem_Malloc(static_cast<std::size_t>(size)));
        if (out == nullptr) {
            return PyErr_NoMemory();
        }
    }
#else
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!bytes) {
        return nullptr;
    }
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
#endif
    // Whole blocks first: 8 digits are exactly 7 bytes.
    Py_ssize_t i = 0;
    Py_ssize_t written = 0;
    for (; i + BLOCK_DIGITS <= count; i += BLOCK_DIGITS, written += BLOCK_BYTES) {
        uint64_t block = 0;
        for (int k = 0; k < BLOCK_DIGITS; ++k) {
            block |= static_cast<uint64_t>(digits[i + k] & DIGIT_MASK) << (DIGIT_BITS * k);
        }
        for (int k = 0; k < BLOCK_BYTES; ++k) {
            out[written + k] = static_cast<unsigned char>(block >> (8 * k));
        }
    }
    uint32_t pending = 0;
    int pendingBits = 0;
    for (; i < count; ++i) {
        pending |= static_cast<uint32_t>(digits[i] & DIGIT_MASK) << pendingBits;
        pendingBits += DIGIT_BITS;
        if (pendingBits >= 8) {
            out[written++] = static_cast<unsigned char>(pending);
            pending >>= 8;
            pendingBits -= 8;
        }
    }
    if (pendingBits > 0) {
        out[written++] = static_cast<unsigned char>(pending);
    }
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = PyLong_FromUnsignedNativeBytes(out, size, Py_ASNATIVEBYTES_LITTLE_ENDIAN);
    if (out != local) {
        PyMem_Free(out);
    }
    return value;
#else
    static PyObject* fromBytesName = nullptr;
    static PyObject* little = nullptr;
    if (cMolvar_intern(fromBytesName, "from_bytes") < 0 || cMolvar_intern(little, "little") < 0) {
        return nullptr;
    }
    PyObject* args[] = {reinterpret_cast<PyObject*>(&PyLong_Type), bytes.get(), little};
    return PyObject_VectorcallMethod(fromBytesName, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#endif
}

}  // namespace molvar
