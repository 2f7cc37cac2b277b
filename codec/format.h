// The wire format: type bytes, limits, the vocabulary, and header digits.
//
// A stream is a concatenation of elements. Each element is a header of
// zero or more digit bytes (bit 7 clear, base 128, least significant
// first), then one type byte (bit 7 set), then, for strings and floats
// only, a body.
//
// Error convention of the whole codec: a function that can fail returns -1
// (or a null object) with the Python exception already set, and 0 (or a new
// reference) on success; every caller passes a failure straight up.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace molvar {

enum : unsigned char {
    TYPE_LIST = 0x80,     // header: item count; the items follow as elements
    TYPE_INT = 0x81,      // header: the value, 0 .. 2**31 - 1
    TYPE_STRING = 0x82,   // header: byte length; body: the bytes
    TYPE_NEGINT = 0x83,   // header: the magnitude of a value -2**31 .. -1
    TYPE_FLOAT = 0x84,    // no header (a reader skips any); body: 8 bytes
    TYPE_LONG = 0x85,     // header: digits of a big integer, read by pyb1282int
    TYPE_NEGLONG = 0x86,  // header: digits of the magnitude of a negative one
    TYPE_VOCAB = 0x87,    // header: index into cMolvar_vocabulary
};
// Type bytes 0x88 .. 0xFF are invalid.

constexpr unsigned char DIGIT_MASK = 0x7F;
constexpr unsigned char TYPE_BIT = 0x80;

constexpr Py_ssize_t HEADER_LIMIT = 64;   // digit bytes in one header (reader only)
constexpr int32_t SIZE_LIMIT = 655360;    // list items, string bytes (reader only)
// The bits of the largest magnitude a reader takes: HEADER_LIMIT digits of 7.
constexpr int BIG_INT_BITS = 7 * static_cast<int>(HEADER_LIMIT);
constexpr std::size_t MAX_HEADER_BYTES = 5;  // the writer's digits for 32 bits
constexpr std::size_t FLOAT_BODY_SIZE = 8;
constexpr std::size_t ERROR_TEXT_SIZE = 256;  // formatted messages are cut to fit

constexpr std::size_t VOCABULARY_SIZE = 32;

struct VocabWord {
    const char* text;
    Py_ssize_t size;
};

extern const VocabWord cMolvar_vocabulary[VOCABULARY_SIZE];

// The word at `index`, or null past the table (which includes every index
// that reads as negative when signed).
inline const VocabWord* cMolvar_vocabWord(uint32_t index)
{
    return index < VOCABULARY_SIZE ? &cMolvar_vocabulary[index] : nullptr;
}

// Writes the digits of `n` to `out` (room for MAX_HEADER_BYTES) and returns
// their count. Zero is the single digit 00. Lengths and values are mostly
// small, so the digit count is found by comparing, shortest first.
inline std::size_t cMolvar_writeHeaderDigits(uint32_t n, unsigned char* out)
{
    if (n < (uint32_t{1} << 7)) {
        out[0] = static_cast<unsigned char>(n);
        return 1;
    }
    out[0] = static_cast<unsigned char>(n & DIGIT_MASK);
    if (n < (uint32_t{1} << 14)) {
        out[1] = static_cast<unsigned char>(n >> 7);
        return 2;
    }
    out[1] = static_cast<unsigned char>((n >> 7) & DIGIT_MASK);
    if (n < (uint32_t{1} << 21)) {
        out[2] = static_cast<unsigned char>(n >> 14);
        return 3;
    }
    out[2] = static_cast<unsigned char>((n >> 14) & DIGIT_MASK);
    if (n < (uint32_t{1} << 28)) {
        out[3] = static_cast<unsigned char>(n >> 21);
        return 4;
    }
    out[3] = static_cast<unsigned char>((n >> 21) & DIGIT_MASK);
    out[4] = static_cast<unsigned char>(n >> 28);
    return 5;
}

// Bit 7 of each of eight bytes read as one word: the type bytes among them.
constexpr uint64_t TYPE_BITS_64 = 0x8080808080808080ull;

// Eight bytes as one value, the first lowest, and back: one load or store
// where the compiler tells the byte order.
inline uint64_t cMolvar_loadLittleEndian64(const unsigned char* in)
{
    uint64_t bits = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(&bits, in, sizeof bits);
#else
    for (int i = 7; i >= 0; --i) {
        bits = (bits << 8) | in[i];
    }
#endif
    return bits;
}

inline void cMolvar_storeLittleEndian64(uint64_t bits, unsigned char* out)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(out, &bits, sizeof bits);
#else
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<unsigned char>(bits >> (8 * i));
    }
#endif
}

// Eight header digits, read as one little-endian word, as one 56-bit
// value, the first digit lowest: the 7-bit fields closed up pairwise, in
// 16-, 32- and 64-bit lanes.
inline uint64_t cMolvar_packEightDigits(uint64_t x)
{
    x = (x & 0x007F007F007F007Full) | ((x >> 1) & 0x3F803F803F803F80ull);
    x = (x & 0x00003FFF00003FFFull) | ((x >> 2) & 0x0FFFC0000FFFC000ull);
    return (x & 0x000000000FFFFFFFull) | ((x >> 4) & 0x00FFFFFFF0000000ull);
}

// The signed 32-bit value of the digits bytes[start, end). Digit i is
// shifted by (7 * i) mod 32 bits and the sum wraps, so a sixth digit lands
// at bit 3 and a five-digit sum with bit 31 set reads as negative.
inline int32_t cMolvar_readHeader(const unsigned char* bytes, Py_ssize_t start, Py_ssize_t end)
{
    uint32_t sum = 0;
    for (Py_ssize_t i = 0; start + i < end; ++i) {
        sum += static_cast<uint32_t>(bytes[start + i]) << ((7 * i) % 32);
    }
    return static_cast<int32_t>(sum);
}

}  // namespace molvar
