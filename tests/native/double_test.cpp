// The bit-level float conversion against the arithmetic one, byte for byte:
// the special values, then a large sample of random bit patterns, packed
// and unpacked. Exits non-zero, naming the first input that differs.
#include "codec/double.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>

using namespace molvar;

namespace {

int failures = 0;

uint64_t bitsOf(double x)
{
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

double fromBits(uint64_t bits)
{
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

void fail(const char* what, uint64_t input)
{
    if (++failures <= 10) {
        std::printf("%s differs for 0x%016" PRIx64 "\n", what, input);
    }
}

void comparePack(double x)
{
    unsigned char arithmetic[8] = {};
    unsigned char bits[8] = {};
    PackStatus a = packDoubleArithmetic(x, arithmetic);
    PackStatus b = packDoubleBits(x, bits);
    if (a != b || (a == PackStatus::ok && std::memcmp(arithmetic, bits, 8) != 0)) {
        fail("pack", bitsOf(x));
    }
}

void compareUnpack(uint64_t pattern)
{
    unsigned char body[8];
    for (int i = 0; i < 8; ++i) {
        body[i] = static_cast<unsigned char>(pattern >> (56 - 8 * i));
    }
    if (bitsOf(unpackDoubleArithmetic(body)) != bitsOf(unpackDoubleBits(body))) {
        fail("unpack", pattern);
    }
}

// splitmix64: a fixed, portable sequence.
uint64_t next(uint64_t& state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

int main(int argc, char** argv)
{
    static_assert(DOUBLE_IS_BINARY64, "this test compares against the binary64 path");
    const long samples = argc > 1 ? std::atol(argv[1]) : 2000000;
    using limits = std::numeric_limits<double>;
    const double specials[] = {
        0.0, -0.0, limits::denorm_min(), -limits::denorm_min(), limits::min(), -limits::min(),
        limits::min() - limits::denorm_min(), fromBits(0x000FFFFFFFFFFFFFull), fromBits(0x0008000000000000ull),
        limits::max(), -limits::max(), limits::epsilon(), 1.0, -1.0, 0.5, 2.0, 1.5, -0.1, 1e308, 1e-308,
        limits::infinity(), -limits::infinity(), limits::quiet_NaN(), -limits::quiet_NaN(),
        limits::signaling_NaN(), fromBits(0x7FF0000000000001ull), fromBits(0xFFFFFFFFFFFFFFFFull),
    };
    long compared = 0;
    for (double x : specials) {
        comparePack(x);
        compareUnpack(bitsOf(x));
        ++compared;
    }
    // Every exponent, with the fraction at its extremes and in between.
    for (uint64_t exponent = 0; exponent <= 0x7FF; ++exponent) {
        for (uint64_t fraction : {0ull, 1ull, 0x0008000000000000ull, 0x000FFFFFFFFFFFFFull, 0x0000000001000000ull}) {
            for (uint64_t sign : {0ull, 1ull}) {
                uint64_t pattern = (sign << 63) | (exponent << 52) | fraction;
                comparePack(fromBits(pattern));
                compareUnpack(pattern);
                ++compared;
            }
        }
    }
    uint64_t state = 20260;
    for (long i = 0; i < samples; ++i) {
        uint64_t pattern = next(state);
        comparePack(fromBits(pattern));
        compareUnpack(pattern);
        ++compared;
    }
    std::printf("%ld inputs compared, %d differ\n", compared, failures);
    return failures == 0 ? 0 : 1;
}
