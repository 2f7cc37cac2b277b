// The cache is one table of recent strings, a slot per hash of the bytes;
// a new string replaces the one in its slot. It watches its own hit rate:
// when too few lookups hit, it stands aside for a while (a stream of
// distinct strings then pays one counter), and then looks again, so that
// repeats coming back are noticed.
//
// It is process-wide and only touched with the interpreter lock held. It
// holds at most SLOTS strings of at most CACHED_STRING_SIZE bytes, each
// one reference; byte strings hold no references, so the cache takes no
// part in cycles.
#include "codec/string_cache.h"

#include <cstdint>
#include <cstring>

namespace molvar {
namespace {

constexpr uint32_t SLOTS = 1024;
constexpr uint32_t WINDOW = 256;         // lookups between two looks at the hit rate
constexpr uint32_t MIN_HITS = WINDOW / 8;  // fewer hits than this in a window: stand aside
constexpr uint32_t PAUSE = 16 * 1024;    // strings made directly while standing aside

PyObject* slots[SLOTS];
uint32_t lookups = 0;
uint32_t hits = 0;
uint32_t paused = 0;

inline uint32_t hashOf(const unsigned char* data, Py_ssize_t size)
{
    uint32_t hash = 2166136261u ^ static_cast<uint32_t>(size);
    for (Py_ssize_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 16777619u;
    }
    return hash ^ (hash >> 15);
}

}  // namespace

PyObject* cMolvar_cachedBytes(const unsigned char* data, Py_ssize_t size)
{
    if (paused != 0) {
        --paused;
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), size);
    }
    if (++lookups == WINDOW) {
        if (hits < MIN_HITS) {
            paused = PAUSE;
        }
        lookups = hits = 0;
    }
    PyObject*& slot = slots[hashOf(data, size) & (SLOTS - 1)];
    if (slot != nullptr && PyBytes_GET_SIZE(slot) == size && std::memcmp(PyBytes_AS_STRING(slot), data, static_cast<std::size_t>(size)) == 0) {
        ++hits;
        Py_INCREF(slot);
        return slot;
    }
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), size);
    if (bytes != nullptr) {
        Py_INCREF(bytes);
        Py_XSETREF(slot, bytes);
    }
    return bytes;
}

}  // namespace molvar
