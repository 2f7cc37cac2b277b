// The compiler-specific spellings the codec uses, in one place: GCC's and
// clang's, with MSVC's beside them. Everything else in the codec is
// standard C++17 and CPython's C API.
//
// MOLVAR_ALWAYS_INLINE   an inline function the compiler must inline
// MOLVAR_NOINLINE        a function never inlined (kept off a hot path)
// MOLVAR_COLD            a function rarely called (error paths)
// MOLVAR_LIKELY(c)       a condition that is nearly always true
// MOLVAR_OPAQUE(p)       hides the value of the pointer p from the optimiser,
//                        which then cannot fold it into a constant
// MOLVAR_VISIBLE         a symbol the shared library exports
// countTrailingZeros64   the index of the lowest set bit of a non-zero word
// countLeadingZeros32    the zero bits above the highest set one, of a non-zero word
//
// This header needs neither the interpreter nor any library. The GCC and
// clang spellings are built and tested (g++ with libstdc++, zig's clang
// with libc++); the MSVC ones have not been compiled yet.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>

#define MOLVAR_ALWAYS_INLINE __forceinline
#define MOLVAR_NOINLINE __declspec(noinline)
#define MOLVAR_COLD
#define MOLVAR_LIKELY(condition) (condition)
// An empty asm statement cannot be written for x64: a volatile read of the
// pointer does the same job.
#define MOLVAR_OPAQUE(pointer)                                                                  \
    do {                                                                                        \
        auto volatile molvarOpaque = (pointer);                                                 \
        (pointer) = molvarOpaque;                                                               \
    } while (0)
#define MOLVAR_VISIBLE __declspec(dllexport)

namespace molvar {

inline int countTrailingZeros64(uint64_t word)
{
    unsigned long index;
    _BitScanForward64(&index, word);
    return static_cast<int>(index);
}

inline int countLeadingZeros32(uint32_t word)
{
    unsigned long index;
    _BitScanReverse(&index, word);
    return 31 - static_cast<int>(index);
}

}  // namespace molvar

#else  // GCC and clang

#define MOLVAR_ALWAYS_INLINE inline __attribute__((always_inline))
#define MOLVAR_NOINLINE __attribute__((noinline))
#define MOLVAR_COLD __attribute__((cold))
#define MOLVAR_LIKELY(condition) __builtin_expect(!!(condition), 1)
#define MOLVAR_OPAQUE(pointer) asm("" : "+r"(pointer))
#define MOLVAR_VISIBLE __attribute__((visibility("default")))

namespace molvar {

inline int countTrailingZeros64(uint64_t word) { return __builtin_ctzll(word); }

inline int countLeadingZeros32(uint32_t word) { return __builtin_clz(word); }

}  // namespace molvar

#endif
