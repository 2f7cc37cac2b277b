// The cache is one table of recent strings, a slot per hash of the bytes.
// A string takes its slot only when it misses there twice in a row: a
// stream of distinct strings then neither evicts the ones that repeat nor
// pays for putting each one in and taking it out (a release of a string
// long gone from the processor's cache). It watches its own hit rate:
// when too few lookups hit, it stands aside for a while (a stream of
// distinct strings then pays one counter), and then looks again, so that
// repeats coming back are noticed.
//
// Each context has its own (codec/context.h). It holds at most CACHE_SLOTS
// strings of at most CACHED_STRING_SIZE bytes, each one reference; byte
// strings hold no references, so the cache takes no part in cycles.
#include "codec/string_cache.h"

#include <cstdint>
#include <cstring>

namespace molvar {
namespace {

constexpr uint32_t WINDOW = 256;         // lookups between two looks at the hit rate
// Fewer hits than this in a window: stand aside. When half the lookups
// hit, what they cost (each waits on a slot, often no longer in the
// processor's cache) is about what the hits save (making and freeing a
// bytes object each), so the cache serves only where more of them hit.
constexpr uint32_t MIN_HITS = WINDOW * 5 / 8;
constexpr int32_t PAUSE = 16 * 1024;     // strings made directly while standing aside

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

}  // namespace

StringCache* newStringCache()
{
    auto* cache = static_cast<StringCache*>(PyMem_Calloc(1, sizeof(StringCache)));
    if (cache == nullptr) {
        PyErr_NoMemory();
    }
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

PyObject* cachedBytes(StringCache& cache, const unsigned char* data, Py_ssize_t size)
{
    if (++cache.lookups == WINDOW) {
        if (cache.hits < MIN_HITS) {
            cache.pause = PAUSE;
        }
        cache.lookups = cache.hits = 0;
    }
    const uint64_t hash = hashOf(data, size);
    const auto tag = static_cast<uint32_t>(hash);
    static_assert(CACHE_SLOTS == 1024, "the slot is picked by 10 bits");
    CacheSlot& slot = cache.slots[hash >> 54];  // the top 10 bits: one of CACHE_SLOTS
    if (slot.tag == tag && slot.bytes != nullptr && PyBytes_GET_SIZE(slot.bytes) == size &&
        std::memcmp(PyBytes_AS_STRING(slot.bytes), data, static_cast<std::size_t>(size)) == 0) {
        ++cache.hits;
        Py_INCREF(slot.bytes);
        return slot.bytes;
    }
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
