// The cache is one table of recent strings, a slot per hash of the bytes.
// A string takes its slot only when it misses there twice in a row, with no
// hit on the slot's own string between: a stream of distinct strings then
// neither evicts the ones that repeat nor pays for putting each one in and
// taking it out (a release of a string long gone from the processor's
// cache), and of two words that meet in a slot, the one that comes more
// often keeps it, rather than both missing in turn. The cache watches its
// own hit rate: when too few lookups hit, it stands aside for a while (a
// stream of distinct strings then pays one counter), and then looks again,
// so that repeats coming back are noticed; the while doubles with each look
// that finds too few.
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
    // A window's hits and misses are CACHE_WINDOW lookups: the one under way
    // when the window before closed, and the ones counted since but this.
    if (CACHE_WINDOW - cache.misses < CACHE_MIN_HITS) {
        cache.pause = cache.nextPause;
        cache.nextPause = std::min(2 * cache.nextPause, CACHE_PAUSE);
    } else {
        cache.nextPause = CACHE_FIRST_PAUSE;
    }
    cache.lookups = cache.misses = 0;
}

const unsigned char* cache_detail::copyToEnd(unsigned char (&copy)[KEY_REACH], const unsigned char* data,
                                             Py_ssize_t size)
{
    std::memset(copy, 0, sizeof copy);
    std::memcpy(copy + KEY_REACH - size, data, static_cast<size_t>(size));
    return copy + KEY_REACH;
}

PyObject* missedBytes(CacheSlot& slot, uint32_t tag, const unsigned char* data, Py_ssize_t size)
{
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), size);
    if (slot.seen != tag) {
        slot.seen = tag;
        return bytes;
    }
    if (bytes != nullptr) {
        Py_INCREF(bytes);
        Py_XSETREF(slot.bytes, bytes);
        slot.tag = tag;
    }
    return bytes;
}

}  // namespace molvar
