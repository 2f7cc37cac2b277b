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

// 1024 slots of 48 bytes: about a first-level data cache. 2048 and 4096
// were slower wherever the words repeat in a few hundred or fewer, for
// the misses of the strings that do not repeat reach every slot.
constexpr uint32_t CACHE_SLOTS = 1024;  // indexed by 10 bits of a hash

// A short string's key: four words of its bytes, at 0, 8, size - 16 and
// size - 8, each with the bytes outside the string set to zero. With the
// size, it is the whole string (the words overlap below 32 bytes), made
// with no branch on the size: words of mixed sizes cost no mispredicted
// branch. With a branch per class of size (8 bytes and more, 4, 2), a run
// of words of 3 to 24 bytes took twice as long as a run of words of one size.
struct CacheKey {
    uint64_t words[4];
};

// A slot's string and its key, so that a hit or a miss is told from the
// slot alone: the cached object is touched only to take a reference.
struct CacheSlot {
    PyObject* bytes;  // owned, or null with `size` 0
    uint32_t size;
    uint32_t seen;  // the tag of the last string missed here
    CacheKey key;
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

// The word whose first `count` bytes in memory are set (0 <= count <= 8),
// and the word whose last `count` bytes are.
constexpr uint64_t firstBytes(int count)
{
    return count == 0   ? 0
           : count == 8 ? ~uint64_t{0}
           : PY_LITTLE_ENDIAN ? (uint64_t{1} << (8 * count)) - 1
                              : ~(~uint64_t{0} >> (8 * count));
}
constexpr uint64_t lastBytes(int count)
{
    return ~firstBytes(8 - count);
}

// A word's bytes moved `bits` / 8 places towards the end of memory, or
// towards its start (bits < 64).
MOLVAR_ALWAYS_INLINE uint64_t later(uint64_t word, unsigned bits)
{
    return PY_LITTLE_ENDIAN ? word << bits : word >> bits;
}
MOLVAR_ALWAYS_INLINE uint64_t earlier(uint64_t word, unsigned bits)
{
    return PY_LITTLE_ENDIAN ? word >> bits : word << bits;
}

// How the key of a string of each size up to CACHED_STRING_SIZE is read: a
// table, indexed by the size, rather than a choice made on it. The key
// reads no byte before the string and none past its 16th byte (or its
// end), or, when the chunk ends sooner than that, none past its end and
// none before 16 bytes before its end: each word outside those bounds is
// read where they allow and its bytes moved into place.
struct KeyPlan {
    uint64_t masks[4];
    // Where words 0 and 1 are read when reading back from the end, and
    // words 2 and 3 when reading on from the start (from the string's
    // first byte), and the bits their bytes are then moved by.
    int8_t at[4];
    uint8_t bits[4];
};
struct KeyPlans {
    KeyPlan sizes[CACHED_STRING_SIZE + 1];
    constexpr KeyPlans() : sizes{}
    {
        for (int size = 0; size <= CACHED_STRING_SIZE; ++size) {
            KeyPlan& plan = sizes[size];
            const int ends = size < 8 ? size : 8;                            // the bytes of the first and last words
            const int middle = size < 8 ? 0 : size - 8 < 8 ? size - 8 : 8;  // and of the two between
            plan.masks[0] = firstBytes(ends);
            plan.masks[1] = firstBytes(middle);
            plan.masks[2] = lastBytes(middle);
            plan.masks[3] = lastBytes(ends);
            // Back from the end: below 8 bytes, the word at size - 8 holds
            // the string in its last bytes; below 16, it holds bytes 8 on.
            plan.at[0] = static_cast<int8_t>(size < 8 ? size - 8 : 0);
            plan.bits[0] = static_cast<uint8_t>(size < 8 ? 8 * (8 - size) : 0);
            plan.at[1] = static_cast<int8_t>(size < 16 ? size - 8 : 8);
            plan.bits[1] = static_cast<uint8_t>(size < 16 && size > 8 ? 8 * (16 - size) : 0);
            // On from the start: the word at 0 holds the bytes that the
            // words at size - 16 and size - 8 would hold, in its first bytes.
            plan.at[2] = static_cast<int8_t>(size < 16 ? 0 : size - 16);
            plan.bits[2] = static_cast<uint8_t>(size < 16 && size > 8 ? 8 * (16 - size) : 0);
            plan.at[3] = static_cast<int8_t>(size < 8 ? 0 : size - 8);
            plan.bits[3] = static_cast<uint8_t>(size < 8 ? 8 * (8 - size) : 0);
        }
    }
};
constexpr KeyPlans KEY_PLANS;

// The bytes the key reads around a string: on from the start, KEY_REACH
// bytes from its first (or to its end); back from the end, from KEY_REACH
// bytes before its end.
constexpr Py_ssize_t KEY_REACH = 16;

// The key of data[0, size), 2 <= size <= CACHED_STRING_SIZE, read on from
// its start: data[0, max(size, KEY_REACH)) must be readable.
MOLVAR_ALWAYS_INLINE CacheKey keyFromStart(const unsigned char* data, Py_ssize_t size)
{
    static_assert(CACHED_STRING_SIZE <= 32, "four words cover the string");
    const KeyPlan& plan = KEY_PLANS.sizes[size];
    return {{load64(data) & plan.masks[0], load64(data + 8) & plan.masks[1],
             later(load64(data + plan.at[2]), plan.bits[2]) & plan.masks[2],
             later(load64(data + plan.at[3]), plan.bits[3]) & plan.masks[3]}};
}

// The same key, read back from its end: data[size - KEY_REACH, size) must
// be readable.
MOLVAR_ALWAYS_INLINE CacheKey keyFromEnd(const unsigned char* data, Py_ssize_t size)
{
    const KeyPlan& plan = KEY_PLANS.sizes[size];
    return {{earlier(load64(data + plan.at[0]), plan.bits[0]) & plan.masks[0],
             earlier(load64(data + plan.at[1]), plan.bits[1]) & plan.masks[1], load64(data + size - 16) & plan.masks[2],
             load64(data + size - 8) & plan.masks[3]}};
}

// The same key from a copy, for a string alone in a chunk too short for
// either reading.
CacheKey keyOfCopy(const unsigned char* data, Py_ssize_t size);

// The hash of a key and its size, mixed by two multiplications: cheap next
// to making the string. It reads the bytes from 0 to 16 and the last 8,
// which are all of a string up to 24 bytes (the word at size - 16 would
// cancel the first word's bytes that it repeats, in a sum or an xor). Its
// top 10 bits pick the slot; the tag is its low 32 bits.
MOLVAR_ALWAYS_INLINE uint64_t hashOf(const CacheKey& key, Py_ssize_t size)
{
    return ((key.words[0] + key.words[1]) * 0x9E3779B97F4A7C15u) ^
           ((key.words[3] + static_cast<uint64_t>(size)) * 0xC2B2AE3D27D4EB4Fu);
}

// Whether a slot holds the string of this key and size.
MOLVAR_ALWAYS_INLINE bool holds(const CacheSlot& slot, const CacheKey& key, Py_ssize_t size)
{
    return ((slot.key.words[0] ^ key.words[0]) | (slot.key.words[1] ^ key.words[1]) |
            (slot.key.words[2] ^ key.words[2]) | (slot.key.words[3] ^ key.words[3]) |
            (slot.size ^ static_cast<uint64_t>(size))) == 0;
}

}  // namespace cache_detail

// A bytes object holding data[0, size), 2 <= size <= CACHED_STRING_SIZE:
// the cached one when the same bytes came recently, else a new one.
// Returns a new reference, or null with the exception set. A hit is made
// here, inline where the decoder reads the string. `before` and `after`:
// the bytes of the chunk before the string and from its start.
MOLVAR_ALWAYS_INLINE PyObject* cachedBytes(StringCache& cache, const unsigned char* data, Py_ssize_t size,
                                           Py_ssize_t before, Py_ssize_t after)
{
    if (++cache.lookups == CACHE_WINDOW) {
        reviewHitRate(cache);
    }
    const CacheKey key = MOLVAR_LIKELY(after >= cache_detail::KEY_REACH) ? cache_detail::keyFromStart(data, size)
                         : before + size >= cache_detail::KEY_REACH     ? cache_detail::keyFromEnd(data, size)
                                                                        : cache_detail::keyOfCopy(data, size);
    const uint64_t hash = cache_detail::hashOf(key, size);
    static_assert(CACHE_SLOTS == 1024, "the slot is picked by 10 bits");
    CacheSlot& slot = cache.slots[hash >> 54];  // the top 10 bits: one of CACHE_SLOTS
    if (cache_detail::holds(slot, key, size)) {
        ++cache.hits;
        slot.seen = 0;  // a string that misses here must now miss twice more to take the slot
        Py_INCREF(slot.bytes);
        return slot.bytes;
    }
    return missedBytes(slot, static_cast<uint32_t>(hash), data, size);  // the key is made again there, off the hit's path
}

// The bytes object of chunk[at, at + size), through `cache` when there is
// one (a new reference, or null); the string is all in the chunk, of
// `length` bytes.
MOLVAR_ALWAYS_INLINE PyObject* bytesOf(StringCache* cache, const unsigned char* chunk, Py_ssize_t length,
                                       Py_ssize_t at, Py_ssize_t size)
{
    if (cache != nullptr && size >= 2 && size <= CACHED_STRING_SIZE) {
        if (cache->pause == 0) {
            return cachedBytes(*cache, chunk + at, size, at, length - at);
        }
        --cache->pause;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk + at), size);
}

}  // namespace molvar
