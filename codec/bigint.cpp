#include "codec/bigint.h"

#include <cstdint>

#include "codec/buffer.h"
#include "codec/format.h"
#include "module/module.h"
#include "module/ref.h"

namespace molvar {
namespace {

constexpr int DIGIT_BITS = 7;

// Appends the digits of the `size` little-endian bytes at `bytes`, which
// hold a number of `bits` bits (at least 1).
int appendDigits(cMolvarBuf* buf, const unsigned char* bytes, Py_ssize_t size, std::size_t bits)
{
    const std::size_t count = (bits + DIGIT_BITS - 1) / DIGIT_BITS;
    if (cMolvarBuf_reserve(buf, count) < 0) {
        return -1;
    }
    unsigned char* out = cMolvarBuf_end(buf);
    uint32_t pending = 0;  // bits read and not yet written, low first
    int pendingBits = 0;
    std::size_t written = 0;
    for (Py_ssize_t i = 0; i < size && written < count; ++i) {
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
    // Packed into little-endian bytes, then int.from_bytes.
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, (count * DIGIT_BITS + 7) / 8));
    if (!bytes) {
        return nullptr;
    }
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    uint32_t pending = 0;
    int pendingBits = 0;
    Py_ssize_t written = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
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
    static PyObject* fromBytesName = nullptr;
    static PyObject* little = nullptr;
    if (cMolvar_intern(fromBytesName, "from_bytes") < 0 || cMolvar_intern(little, "little") < 0) {
        return nullptr;
    }
    PyObject* args[] = {reinterpret_cast<PyObject*>(&PyLong_Type), bytes.get(), little};
    return PyObject_VectorcallMethod(fromBytesName, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace molvar
