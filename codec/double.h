// The 8-byte float body: IEEE 754 binary64, most significant byte first.
//
// Two conversions give the same bytes for every input. The arithmetic one
// (frexp, ldexp, floor) works on any machine; the bit-level one copies the
// representation and is used where double is known to be binary64. Both
// refuse what the format cannot carry: negative zero packs as zero, and
// infinities and NaNs are refused. Unpacking never fails; an exponent
// field of 2047 (an infinity or a NaN body) reads as an infinity of its
// sign.
//
// This header does not need the interpreter, so that the two can be tested
// against each other natively.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace molvar {

enum class PackStatus {
    ok,
    outOfRange,  // frexp() gave a fraction outside [0.5, 1) that is not 0: inf, NaN
    tooLarge,    // exponent above 1023 (only reachable without binary64)
};

inline PackStatus packDoubleArithmetic(double x, unsigned char* out)
{
    int sign = 0;
    if (x < 0) {
        sign = 1;
        x = -x;
    }
    int e = 0;
    double f = std::frexp(x, &e);
    if (0.5 <= f && f < 1.0) {
        f *= 2.0;
        e -= 1;
    } else if (f == 0.0) {
        e = 0;
    } else {
        return PackStatus::outOfRange;
    }
    if (e > 1023) {
        return PackStatus::tooLarge;
    }
    if (e < -1022) {
        f = std::ldexp(f, e + 1022);
        e = 0;
    } else if (!(e == 0 && f == 0.0)) {
        e += 1023;
        f -= 1.0;
    }
    f *= 268435456.0;  // 2**28
    auto fhi = static_cast<uint32_t>(std::floor(f));
    f -= fhi;
    f *= 16777216.0;  // 2**24
    auto flo = static_cast<uint32_t>(std::floor(f + 0.5));
    auto ue = static_cast<uint32_t>(e);
    out[0] = static_cast<unsigned char>((static_cast<uint32_t>(sign) << 7) | (ue >> 4));
    out[1] = static_cast<unsigned char>(((ue & 0xF) << 4) | (fhi >> 24));
    out[2] = static_cast<unsigned char>((fhi >> 16) & 0xFF);
    out[3] = static_cast<unsigned char>((fhi >> 8) & 0xFF);
    out[4] = static_cast<unsigned char>(fhi & 0xFF);
    out[5] = static_cast<unsigned char>((flo >> 16) & 0xFF);
    out[6] = static_cast<unsigned char>((flo >> 8) & 0xFF);
    out[7] = static_cast<unsigned char>(flo & 0xFF);
    return PackStatus::ok;
}

inline double unpackDoubleArithmetic(const unsigned char* in)
{
    int sign = in[0] >> 7;
    int e = ((in[0] & 0x7F) << 4) | (in[1] >> 4);
    uint32_t fhi = (static_cast<uint32_t>(in[1] & 0xF) << 24) | (static_cast<uint32_t>(in[2]) << 16) |
                   (static_cast<uint32_t>(in[3]) << 8) | in[4];
    uint32_t flo = (static_cast<uint32_t>(in[5]) << 16) | (static_cast<uint32_t>(in[6]) << 8) | in[7];
    double x = (static_cast<double>(fhi) + static_cast<double>(flo) * 5.9604644775390625e-08) *
               3.725290298461914e-09;  // (fhi + flo * 2**-24) * 2**-28
    if (e == 0) {
        e = -1022;
    } else {
        x += 1.0;
        e -= 1023;
    }
    x = std::ldexp(x, e);
    return sign ? -x : x;
}

constexpr bool DOUBLE_IS_BINARY64 =
    std::numeric_limits<double>::is_iec559 && sizeof(double) == sizeof(uint64_t);

constexpr uint64_t EXPONENT_BITS = 0x7FF0000000000000ull;
constexpr uint64_t SIGN_BIT = 0x8000000000000000ull;

// The eight bytes, most significant first, as one value and back: one
// load or store and a byte swap where the compiler tells the byte order.
inline uint64_t loadBigEndian64(const unsigned char* in)
{
    uint64_t bits = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(&bits, in, sizeof bits);
    bits = __builtin_bswap64(bits);
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    std::memcpy(&bits, in, sizeof bits);
#else
    for (int i = 0; i < 8; ++i) {
        bits = (bits << 8) | in[i];
    }
#endif
    return bits;
}

inline void storeBigEndian64(uint64_t bits, unsigned char* out)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    bits = __builtin_bswap64(bits);
    std::memcpy(out, &bits, sizeof bits);
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    std::memcpy(out, &bits, sizeof bits);
#else
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<unsigned char>(bits);
        bits >>= 8;
    }
#endif
}

inline PackStatus packDoubleBits(double x, unsigned char* out)
{
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    if ((bits & EXPONENT_BITS) == EXPONENT_BITS) {
        return PackStatus::outOfRange;
    }
    if ((bits & ~SIGN_BIT) == 0) {
        bits = 0;
    }
    storeBigEndian64(bits, out);
    return PackStatus::ok;
}

inline double unpackDoubleBits(const unsigned char* in)
{
    uint64_t bits = loadBigEndian64(in);
    if ((bits & EXPONENT_BITS) == EXPONENT_BITS) {
        bits &= EXPONENT_BITS | SIGN_BIT;
    }
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

inline PackStatus packDouble(double x, unsigned char* out)
{
    if constexpr (DOUBLE_IS_BINARY64) {
        return packDoubleBits(x, out);
    } else {
        return packDoubleArithmetic(x, out);
    }
}

inline double unpackDouble(const unsigned char* in)
{
    if constexpr (DOUBLE_IS_BINARY64) {
        return unpackDoubleBits(in);
    } else {
        return unpackDoubleArithmetic(in);
    }
}

// Packs `x` into out[0..8). Returns 0, or -1 with SystemError ("frexp()
// result out of range") or OverflowError set; `out` is then unusable.
int cMolvar_packDouble(double x, unsigned char* out);

inline double cMolvar_unpackDouble(const unsigned char* in) { return unpackDouble(in); }

}  // namespace molvar
