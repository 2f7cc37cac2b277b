// Short byte strings that repeat, decoded once: a small cache keyed by
// content, for the words a messaging layer sends again and again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

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
};

// A new, empty cache (null with MemoryError set), and its release.
StringCache* newStringCache();
void freeStringCache(StringCache* cache);

// A bytes object holding data[0, size), 2 <= size <= CACHED_STRING_SIZE:
// the cached one when the same bytes came recently, else a new one.
// Returns a new reference, or null with the exception set.
PyObject* cachedBytes(StringCache& cache, const unsigned char* data, Py_ssize_t size);

// The bytes object of data[0, size), through `cache` when there is one (a
// new reference, or null).
inline PyObject* bytesOf(StringCache* cache, const unsigned char* data, Py_ssize_t size)
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
