// Short byte strings that repeat, decoded once: a small cache keyed by
// content, for the words a messaging layer sends again and again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/portability.h"

// The comparison's SSE2 form, on every x86-64; the portable one elsewhere,
// and in the public-API build, whose test session covers it.
#if defined(__SSE2__) && !defined(MOLVAR_PUBLIC_API)
#define MOLVAR_CACHE_SSE2 1
#include <emmintrin.h>
#endif

namespace molvar {

// The longest string the cache keeps.
constexpr Py_ssize_t CACHED_STRING_SIZE = 32;

// 1024 slots of 16 bytes: a quarter of a first-level data cache, which the
// decoder's new objects pass through too. 2048 and 4096 were slower
// wherever the words repeat in a few hundred or fewer, for the misses of
// the strings that do not repeat reach every slot.
constexpr uint32_t CACHE_SLOTS = 1024;  // indexed by 10 bits of a hash

// A slot's string and the tag of its hash. A miss is most often told by
// the tag alone; a hit compares the cached object's bytes, which it reads
// anyway to take a reference. (Slots of 48 bytes that kept each key beside
// its string were slower on a processor with a data cache of 32 KiB.)
struct CacheSlot {
    PyObject* bytes;  // owned, or null with `tag` 0
    uint32_t tag;     // the low 32 bits of the hash of `bytes`, and 1: never 0
    uint32_t seen;    // the tag of the last string missed here, or 0 after a hit
};

// One context's cache. It is used by one thread at a time: the context's
// users hold the interpreter's lock (a build with no global lock has none).
struct StringCache {
    CacheSlot slots[CACHE_SLOTS];
    uint32_t lookups;
    uint32_t misses;  // counted off the path of a hit
    // Short strings to make directly before the cache looks again, while it
    // stands aside (it found too few repeats).
    int32_t pause;
    // The pause that the next window with too few hits takes: each one in a
    // row stands aside twice as long as the one before, from
    // CACHE_FIRST_PAUSE to CACHE_PAUSE, and a window that hits enough starts
    // it over. So a cache that stood aside while it filled (the first
    // strings of a vocabulary all miss) serves again a window later, and a
    // stream of distinct strings soon pays one lookup in 65.
    int32_t nextPause;
};

// A new, empty cache (null with MemoryError set), and its release.
StringCache* newStringCache();
void freeStringCache(StringCache* cache);

// How the cache watches its hit rate (see codec/string_cache.cpp).
constexpr uint32_t CACHE_WINDOW = 256;  // lookups between two looks at the hit rate
// Fewer hits than this in a window: stand aside. A hit, made inline, costs
// a fraction of what it saves (making a bytes object and freeing it); a
// miss costs a hash and a look at a slot (often no longer in the
// processor's cache) on top of making it. Below half the lookups hitting,
// the misses can cost more than the hits save.
constexpr uint32_t CACHE_MIN_HITS = CACHE_WINDOW / 2;
constexpr int32_t CACHE_FIRST_PAUSE = CACHE_WINDOW;  // strings made directly while standing aside: at first,
constexpr int32_t CACHE_PAUSE = 16 * 1024;          // and at most

// Out of line, off the path of a hit: the look at the hit rate at the end
// of a window, and a miss in `slot`, which makes the string and may keep it.
void reviewHitRate(StringCache& cache);
PyObject* missedBytes(CacheSlot& slot, uint32_t tag, const unsigned char* data, Py_ssize_t size);

namespace cache_detail {

inline uint64_t load64(const unsigned char* data)
{
    uint64_t word;
    std::memcpy(&word, data, sizeof word);
    return word;
}

// The word whose last `count` bytes in memory are set (0 <= count <= 8).
constexpr uint64_t lastBytes(int count)
{
    return count == 0   ? 0
           : count == 8 ? ~uint64_t{0}
           : PY_LITTLE_ENDIAN ? ~(~uint64_t{0} >> (8 * count))
                              : (uint64_t{1} << (8 * count)) - 1;
}

// The bytes the cache reads around a string: the KEY_REACH that end where it
// ends.
constexpr Py_ssize_t KEY_REACH = 32;
static_assert(CACHED_STRING_SIZE <= KEY_REACH, "the words read cover the string");

// For each size up to CACHED_STRING_SIZE, the masks of the four words that
// end where a string ends: the bytes before the string are masked out. A
// table, indexed by the size, rather than a choice made on it: the hash and
// the comparison take no branch on the size, so words of mixed sizes cost
// no mispredicted branch (with a branch per class of size, a run of words
// of 3 to 24 bytes took twice as long as a run of words of one size, on
// one processor).
struct EndMasks {
    uint64_t words[4];  // word `i` is read at size - KEY_REACH + 8 * i
};
struct EndMaskTable {
    EndMasks sizes[CACHED_STRING_SIZE + 1];
    constexpr EndMaskTable() : sizes{}
    {
        for (int size = 0; size <= CACHED_STRING_SIZE; ++size) {
            for (int word = 0; word < 4; ++word) {
                const int inside = size - static_cast<int>(KEY_REACH) + 8 * word + 8;  // of its bytes, the last ones
                sizes[size].words[word] = lastBytes(inside < 0 ? 0 : inside > 8 ? 8 : inside);
            }
        }
    }
};
constexpr EndMaskTable END_MASKS;

// The high and the low words of the product of `a` and `b`, folded: each
// bit of either reaches the whole of the result.
MOLVAR_ALWAYS_INLINE uint64_t fold(uint64_t a, uint64_t b)
{
#if defined(__SIZEOF_INT128__)
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(product >> 64) ^ static_cast<uint64_t>(product);
#else
    const uint64_t product = a * b;  // the high bits hold what the low ones of a and b mix
    const uint64_t swapped = (a >> 32 | a << 32) * (b >> 32 | b << 32);
    return product ^ (swapped >> 32 | swapped << 32);
#endif
}

// The hash of the string of `size` bytes (2 to CACHED_STRING_SIZE) that
// ends at `end`: cheap next to making the string. It reads its last 24
// bytes (end[-KEY_REACH, 0) must be readable); the three words do not
// overlap, so their sum cancels no byte. A short string lies in the high
// bytes of the last word, which a plain product would mix into its high
// bits poorly, so the product is folded. Its top 10 bits pick the slot;
// the tag is its low 32.
MOLVAR_ALWAYS_INLINE uint64_t hashOf(const unsigned char* end, Py_ssize_t size)
{
    const EndMasks& masks = END_MASKS.sizes[size];
    const uint64_t front = (load64(end - 24) & masks.words[1]) + (load64(end - 16) & masks.words[2]);
    const uint64_t back = (load64(end - 8) & masks.words[3]) + static_cast<uint64_t>(size);
    return fold(front ^ 0x9E3779B97F4A7C15u, back ^ 0xC2B2AE3D27D4EB4Fu);
}

// Whether the strings of `size` bytes (2 to CACHED_STRING_SIZE) that end at
// `a` and `b` are the same: a[-KEY_REACH, 0) and b[-KEY_REACH, 0) must be
// readable. Two 16-byte comparisons with SSE2 (every x86-64 has it), four
// masked words elsewhere.
MOLVAR_ALWAYS_INLINE bool sameEnds(const unsigned char* a, const unsigned char* b, Py_ssize_t size)
{
#ifdef MOLVAR_CACHE_SSE2
    static_assert(KEY_REACH == 32, "two vectors of 16 bytes");
    const auto load = [](const unsigned char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
    const auto same = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(load(a - 32), load(b - 32)))) |
                      static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(load(a - 16), load(b - 16)))) << 16;
    const uint32_t wanted = ~uint32_t{0} << (KEY_REACH - size);  // the string's bytes: the last `size` of 32
    return (wanted & ~same) == 0;
#else
    const EndMasks& masks = END_MASKS.sizes[size];
    uint64_t differ = 0;
    for (int word = 0; word < 4; ++word) {
        const Py_ssize_t at = 8 * word - KEY_REACH;
        differ |= (load64(a + at) ^ load64(b + at)) & masks.words[word];
    }
    return differ == 0;
#endif
}

// Copies the string data[0, size) to the end of `copy`, for a string that
// starts within KEY_REACH bytes of its chunk's start; returns its end there.
const unsigned char* copyToEnd(unsigned char (&copy)[KEY_REACH], const unsigned char* data, Py_ssize_t size);

// Whether the cached string `kept` is the one of `size` bytes that ends at
// `end`. It is read where it lies, in the object: its header comes before
// its bytes, so the KEY_REACH bytes that end where a string of 2 bytes or
// more ends lie within the object. Where a header is shorter (a 32-bit
// build), the bytes are compared by memcmp.
MOLVAR_ALWAYS_INLINE bool holds(PyObject* kept, const unsigned char* end, Py_ssize_t size)
{
    if (PyBytes_GET_SIZE(kept) != size) {
        return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(kept));
    if constexpr (offsetof(PyBytesObject, ob_sval) + 2 < KEY_REACH) {
        return std::memcmp(bytes, end - size, static_cast<size_t>(size)) == 0;
    } else {
        return sameEnds(bytes + size, end, size);
    }
}

}  // namespace cache_detail

// A bytes object holding data[0, size), 2 <= size <= CACHED_STRING_SIZE:
// the cached one when the same bytes came recently, else a new one.
// Returns a new reference, or null with the exception set. A hit is made
// here, inline where the decoder reads the string. `before`: the bytes of
// the chunk before the string.
MOLVAR_ALWAYS_INLINE PyObject* cachedBytes(StringCache& cache, const unsigned char* data, Py_ssize_t size,
                                           Py_ssize_t before)
{
    if (++cache.lookups == CACHE_WINDOW) {
        reviewHitRate(cache);
    }
    unsigned char copy[cache_detail::KEY_REACH];
    const unsigned char* const end = MOLVAR_LIKELY(before + size >= cache_detail::KEY_REACH)
                                         ? data + size
                                         : cache_detail::copyToEnd(copy, data, size);
    const uint64_t hash = cache_detail::hashOf(end, size);
    const auto tag = static_cast<uint32_t>(hash) | 1;  // never an empty slot's 0
    static_assert(CACHE_SLOTS == 1024, "the slot is picked by 10 bits");
    CacheSlot& slot = cache.slots[hash >> 54];  // the top 10 bits: one of CACHE_SLOTS
    PyObject* const kept = slot.bytes;
    if (slot.tag == tag && cache_detail::holds(kept, end, size)) {
        slot.seen = 0;  // a string that misses here must now miss twice more to take the slot
        Py_INCREF(kept);
        return kept;
    }
    ++cache.misses;
    return missedBytes(slot, tag, data, size);
}

// The bytes object of chunk[at, at + size), through `cache` when there is
// one (a new reference, or null); the string is all in the chunk.
MOLVAR_ALWAYS_INLINE PyObject* bytesOf(StringCache* cache, const unsigned char* chunk, Py_ssize_t at,
                                       Py_ssize_t size)
{
    if (cache != nullptr && size >= 2 && size <= CACHED_STRING_SIZE) {
        if (cache->pause == 0) {
            return cachedBytes(*cache, chunk + at, size, at);
        }
        --cache->pause;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk + at), size);
}

}  // namespace molvar
