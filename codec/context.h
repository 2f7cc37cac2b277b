// Context: everything the codec takes from the module that uses it.
//
// The codec holds no mutable state of its own. What it reads from outside
// (the error class, the converters of big integers, the types it makes) and
// what it keeps between calls (the string cache, destroyed states kept for
// reuse) live in one Context, owned by the module. Each buffer and each
// state records the context it was made by, so that the encoder and the
// decoder reach it through the object they work on: a load, not a lookup.
//
// A context serves one interpreter: cMolvar's lives in the main one for the
// life of the process, the companion's native module has one per module
// object (in module state). On a build with no global lock, several threads
// use one context at once: it then keeps no cache and no states, and what
// it holds is only read after it is set up.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "codec/ref.h"

struct cMolvarState;

namespace molvar {

struct StringCache;

struct Context {
    // The class of every refusal of malformed input or of an unencodable value (owned).
    PyObject* errorClass = nullptr;
    // What newBuf and newState make (owned); encode and dataReceived accept only these.
    PyTypeObject* bufType = nullptr;
    PyTypeObject* stateType = nullptr;

    // Big integers. The converters installed in `converterHost`'s namespace
    // (cMolvar's) are looked up at each use; with no host, the companion's
    // own are always the ones in use. The companion's own, when they are
    // the ones installed, are done natively, with the same result.
    PyObject* converterHost = nullptr;       // a module, owned, or null
    PyObject* converterNamespace = nullptr;  // its namespace, owned, or null
    PyObject* ownToDigits = nullptr;         // the companion's pyint2b128, owned, or null
    PyObject* ownFromDigits = nullptr;       // the companion's pyb1282int, owned, or null
    PyObject* toDigitsName = nullptr;        // "pyint2b128", interned, owned
    PyObject* fromDigitsName = nullptr;      // "pyb1282int"
    PyObject* writeName = nullptr;           // "write"

    // The names of the methods and attributes the codec calls and reads,
    // interned, owned. Never a name made at the call (PyObject_CallMethod,
    // PyObject_GetAttrString): that is a new str each time, and the
    // interpreter's type attribute cache keeps one reference to the name of
    // each of its entries (up to 4096, placed by the name's address), so
    // those names stay alive, one per entry reached, long after the call.
    PyObject* stripName = nullptr;      // "strip": a located error's message
    PyObject* argsName = nullptr;       // "args": a stopped decoder's error
    PyObject* bitLengthName = nullptr;  // "bit_length": the strict check, the public path's ints
    PyObject* toBytesName = nullptr;    // "to_bytes": the public path's ints

    StringCache* cache = nullptr;  // recent short strings; null: each one is made anew

    // Whether the decoder's refusals say what the input declared and what
    // the format takes (the companion's API). Otherwise they are the fixed
    // texts that cMolvar's callers may match.
    bool explain = false;

    // Destroyed states, kept for the next newState with their spare frames:
    // untracked, holding no object, reached from nowhere else.
    cMolvarState* keptStates = nullptr;
    int32_t keptStateCount = 0;
    int32_t maxKeptStates = 0;
};

// Fills in what a context makes itself (the names, the cache, the kept
// states' limit); the module sets the rest. 0, or -1 with the exception set.
int contextInit(Context& context);

// Visits the objects the context owns, for a module's m_traverse.
int contextTraverse(Context& context, visitproc visit, void* arg);

// Releases everything the context owns; it then keeps nothing and caches
// nothing. Safe to call again.
void contextClear(Context& context);

// The converter of big integers in use (`toDigits`: pyint2b128, else
// pyb1282int), as one look-up found it: the one view of it that the
// encoder and the decoder share.
struct Converter {
    // A strong reference, which another thread's rebinding cannot take
    // away; null with the exception set when the look-up failed.
    Ref callable;
    // It is the companion's own: its work is done natively, with the same result.
    bool native = false;
    // Native, and found in the namespace (or with no host to look in):
    // until host code runs again, it stays the one in use, so what follows
    // may do the same work without looking again. The look-up itself may
    // have run host code (see lookUp), after which it found this one.
    bool settled = false;
};

Converter converterInUse(Context& context, bool toDigits);

// Before 3.12 a dict's version tag changes whenever the dict does (it is
// deprecated after): a settled converter stays settled while the version of
// the namespace it was found in stays the same, whatever host code ran.
// Without it (the public API, or 3.12 and later, where no host code runs
// while lists are made: see codec/list.h), host code unsettles it.
#if !defined(MOLVAR_PUBLIC_API) && PY_VERSION_HEX < 0x030C0000
#define MOLVAR_NAMESPACE_VERSION 1

inline uint64_t namespaceVersion(const Context& context)
{
    const PyObject* names = context.converterNamespace;
    return names != nullptr ? reinterpret_cast<const PyDictObject*>(names)->ma_version_tag : 0;
}
#endif

}  // namespace molvar
