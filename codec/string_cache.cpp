// The cache is one table of recent strings, a slot per hash of the bytes;
// a lookup that misses there looks in the neighbouring slot too (out of
// line, off the path of a hit). A string takes its slot only when it misses
// twice in a row with no hit on the slot's own string between, or else the
// neighbouring slot on the same terms: a stream of distinct strings then
// neither evicts the ones that repeat nor pays for putting each one in and
// taking it out (a release of a string long gone from the processor's
// cache), and two words that meet in a slot are both kept, rather than
// missing in turn. The cache watches its own hit rate: when too few lookups
// hit, it stands aside for a while (a stream of distinct strings then pays
// one counter), and then looks again, so that repeats coming back are
// noticed; the while doubles with each look that finds too few.
//
// Each context has its own (codec/context.h). It holds at most CACHE_SLOTS
// strings of at most CACHED_STRING_SIZE bytes, each one reference; byte
// strings hold no references, so the cache takes no part in cycles.
#include "codec/string_cache.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace molvar {

StringCache* newStringCache()
{
    auto* cache = static_cast<StringCache*>(PyMem_Calloc(1, sizeof(StringCache)));
    if (cache == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    cache->nextPause = CACHE_FIRST_PAUSE;
    return cache;
}

void freeStringCache(StringCache* cache)
{
    if (cache == nullptr) {
        return;
    }
    for (CacheSlot& slot : cache->slots) {
        Py_CLEAR(slot.bytes);
    }
    PyMem_Free(cache);
}

void reviewHitRate(StringCache& cache)
{
    if (cache.hits < CACHE_MIN_HITS) {
        cache.pause = cache.nextPause;
        cache.nextPause = std::min(2 * cache.nextPause, CACHE_PAUSE);
    } else {
        cache.nextPause = CACHE_FIRST_PAUSE;
    }
    cache.lookups = cache.hits = 0;
}

CacheKey cache_detail::keyOfCopy(const unsigned char* data, Py_ssize_t size)
{
    unsigned char copy[CACHED_STRING_SIZE] = {};
    static_assert(KEY_REACH <= CACHED_STRING_SIZE, "the copy holds what the key reads on from the start");
    std::memcpy(copy, data, static_cast<size_t>(size));
    return keyFromStart(copy, size);
}

PyObject* missedBytes(StringCache& cache, uint32_t index, uint32_t tag, const unsigned char* data, Py_ssize_t size)
{
    CacheSlot& slot = cache.slots[index];
    CacheSlot& neighbour = cache.slots[index ^ 1];
    const CacheKey key = cache_detail::keyOfCopy(data, size);
    if (cache_detail::holds(neighbour, key, size)) {
        ++cache.hits;
        neighbour.seen = 0;
        Py_INCREF(neighbour.bytes);
        return neighbour.bytes;
    }
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), size);
    CacheSlot* taken = slot.seen == tag ? &slot : neighbour.seen == tag ? &neighbour : nullptr;
    if (taken == nullptr) {
        slot.seen = tag;
        neighbour.seen = tag;
        return bytes;
    }
    if (bytes != nullptr) {
        Py_INCREF(bytes);
        Py_XSETREF(taken->bytes, bytes);
        taken->size = static_cast<uint32_t>(size);
        taken->key = key;
    }
    return bytes;
}

}  // namespace molvar
