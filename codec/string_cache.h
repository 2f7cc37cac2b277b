// Short byte strings that repeat, decoded once: a small cache keyed by
// content, for the words a messaging layer sends again and again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "codec/portability.h"

namespace molvar {

// The longest string the cache keeps.
constexpr Py_ssize_t CACHED_STRING_SIZE = 32;

constexpr uint32_t CACHE_SLOTS = 1024;  // indexed by 10 bits of a hash

// A slot's string and a tag of its hash and size, compared first: a miss is
// then told without reading the string, which may have left the cache long
// ago (the processor's, not this one).
struct CacheSlot {
    PyObject* bytes;  // owned, or null
    uint32_t tag;
    uint32_t seen;  // the tag of the last string missed here
};

// One context's cache. It is used by one thread at a time: the context's
// users hold the interpreter's lock (a build with no global lock has none).
struct StringCache {
    CacheSlot slots[CACHE_SLOTS];
    uint32_t lookups;
    uint32_t hits;
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

inline uint32_t load32(const unsigned char* data)
{
    uint32_t word;
    std::memcpy(&word, data, sizeof word);
    return word;
}

// The hash of 2 to CACHED_STRING_SIZE bytes: the first and the last 8
// bytes (or 4, or 1 and 1), which overlap in short strings, and the size,
// mixed by two multiplications. Cheap next to making the string. Its top
// 10 bits pick the slot; the tag is its low 32 bits.
inline uint64_t hashOf(const unsigned char* data, Py_ssize_t size)
{
    uint64_t first;
    uint64_t last;
    if (size >= 8) {
        first = load64(data);
        last = load64(data + size - 8);
    } else if (size >= 4) {
        first = load32(data);
        last = load32(data + size - 4);
    } else {
        first = data[0];
        last = data[size - 1];
    }
    return (first * 0x9E3779B97F4A7C15u) ^ ((last + static_cast<uint64_t>(size)) * 0xC2B2AE3D27D4EB4Fu);
}

// Whether a[0, size) and b[0, size) hold the same bytes, 2 <= size <=
// CACHED_STRING_SIZE: by words that overlap, as the hash reads them,
// rather than a call to memcmp, which would cost what a hit saves.
MOLVAR_ALWAYS_INLINE bool sameBytes(const unsigned char* a, const unsigned char* b, Py_ssize_t size)
{
    static_assert(CACHED_STRING_SIZE <= 32, "four words cover the string");
    if (size >= 8) {
        uint64_t differ = (load64(a) ^ load64(b)) | (load64(a + size - 8) ^ load64(b + size - 8));
        if (size > 16) {
            differ |= (load64(a + 8) ^ load64(b + 8)) | (load64(a + size - 16) ^ load64(b + size - 16));
        }
        return differ == 0;
    }
    if (size >= 4) {
        return ((load32(a) ^ load32(b)) | (load32(a + size - 4) ^ load32(b + size - 4))) == 0;
    }
    return a[0] == b[0] && a[1] == b[1] && a[size - 1] == b[size - 1];
}

}  // namespace cache_detail

// A bytes object holding data[0, size), 2 <= size <= CACHED_STRING_SIZE:
// the cached one when the same bytes came recently, else a new one.
// Returns a new reference, or null with the exception set. A hit is made
// here, inline where the decoder reads the string.
MOLVAR_ALWAYS_INLINE PyObject* cachedBytes(StringCache& cache, const unsigned char* data, Py_ssize_t size)
{
    if (++cache.lookups == CACHE_WINDOW) {
        reviewHitRate(cache);
    }
    const uint64_t hash = cache_detail::hashOf(data, size);
    const auto tag = static_cast<uint32_t>(hash);
    static_assert(CACHE_SLOTS == 1024, "the slot is picked by 10 bits");
    CacheSlot& slot = cache.slots[hash >> 54];  // the top 10 bits: one of CACHE_SLOTS
    PyObject* const kept = slot.bytes;
    if (slot.tag == tag && kept != nullptr && PyBytes_GET_SIZE(kept) == size &&
        cache_detail::sameBytes(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(kept)), data, size)) {
        ++cache.hits;
        Py_INCREF(kept);
        return kept;
    }
    return missedBytes(slot, tag, data, size);
}

// The bytes object of data[0, size), through `cache` when there is one (a
// new reference, or null).
MOLVAR_ALWAYS_INLINE PyObject* bytesOf(StringCache* cache, const unsigned char* data, Py_ssize_t size)
{
    if (cache != nullptr && size >= 2 && size <= CACHED_STRING_SIZE) {
        if (cache->pause == 0) {
            return cachedBytes(*cache, data, size);
        }
        --cache->pause;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), size);
}

}  // namespace molvar
