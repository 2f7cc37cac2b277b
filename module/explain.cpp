#include "module/explain.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>

#include "codec/encoder.h"
#include "codec/exception.h"
#include "codec/format.h"
#include "codec/ref.h"

namespace molvar {
namespace {

// A path of more levels than this is shown by its ends.
constexpr Py_ssize_t SHOWN_LEVELS = 12;
constexpr Py_ssize_t SHOWN_FIRST = SHOWN_LEVELS - 4;

// " at [1][0]" for the first `levels` levels of the refusal's path (its
// ends, when long), or "" for none; into text[size].
void where(const Refusal& refusal, Py_ssize_t levels, char* text, std::size_t size)
{
    text[0] = '\0';
    if (levels == 0 && !refusal.cut()) {
        return;
    }
    std::size_t used = static_cast<std::size_t>(std::snprintf(text, size, " at %s", refusal.cut() ? "..." : ""));
    for (Py_ssize_t i = 0; i < levels && used + 32 < size; ++i) {
        if (levels > SHOWN_LEVELS && i == SHOWN_FIRST) {
            used += static_cast<std::size_t>(std::snprintf(text + used, size - used, "...(%zd levels)...", levels));
            i = levels - 4;
        }
        used += static_cast<std::size_t>(std::snprintf(text + used, size - used, "[%zd]", refusal.level(i).index));
    }
}

// The list at level `i` of the path, and at `depth` the one refused.
PyObject* listAt(const Refusal& refusal, Py_ssize_t i)
{
    return i < refusal.depth() ? refusal.level(i).seq : refusal.item();
}

// For lists nested too deep: the level of the outermost list that the path
// meets again further in (the value contains itself there), or -1.
Py_ssize_t firstRepeated(const Refusal& refusal)
{
    const Py_ssize_t count = refusal.depth() + 1;
    struct Seen {
        PyObject* list;
        Py_ssize_t level;
    };
    auto* seen = static_cast<Seen*>(PyMem_Malloc(sizeof(Seen) * static_cast<std::size_t>(count)));
    if (seen == nullptr) {
        return -1;  // said as too deep, which it is too
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        seen[i] = Seen{listAt(refusal, i), i};
    }
    std::sort(seen, seen + count, [](const Seen& a, const Seen& b) {
        return a.list != b.list ? std::less<PyObject*>()(a.list, b.list) : a.level < b.level;
    });
    // The first repeat met going in is the one whose second sighting is
    // the least deep; what repeats is the list of its first sighting. In
    // each run of one list, the first two entries are those sightings.
    Py_ssize_t found = -1;
    Py_ssize_t metAt = count;
    for (Py_ssize_t i = 1; i < count; ++i) {
        const bool secondSighting = seen[i].list == seen[i - 1].list && (i == 1 || seen[i - 2].list != seen[i].list);
        if (secondSighting && seen[i].level < metAt) {
            metAt = seen[i].level;
            found = seen[i - 1].level;
        }
    }
    PyMem_Free(seen);
    return found;
}

const char CARRIED[] = "the format carries int, float, bytes, and lists or tuples of them";

void refuseType(const Context& context, const char* at, PyObject* item)
{
    const char* name = Py_TYPE(item)->tp_name;
    if (item == Py_None) {
        PyErr_Format(context.errorClass, "cannot encode None%s: %s", at, CARRIED);
    } else if (PyUnicode_Check(item)) {
        PyErr_Format(context.errorClass, "cannot encode a %s%s: %s; encode text to bytes first, as 'x'.encode()",
                     name, at, CARRIED);
    } else if (PyByteArray_Check(item) || PyMemoryView_Check(item)) {
        PyErr_Format(context.errorClass,
                     "cannot encode a %s%s: pass bytes(value); byte strings decode as bytes, so a %s would not come "
                     "back as one",
                     name, at, name);
    } else {
        const bool vowel = std::strchr("aeiouAEIOU", name[0]) != nullptr;
        PyErr_Format(context.errorClass, "cannot encode %s %s%s: %s", vowel ? "an" : "a", name, at, CARRIED);
    }
}

}  // namespace

PyObject* explainEncodeError(const Context& context, const Refusal& refusal)
{
    Ref error = fetchException();
    const RefusalKind kind = refusal.kindFor(error.get());
    if (kind == RefusalKind::none) {
        raiseException(std::move(error));  // not a refusal: as it was raised
        return nullptr;
    }
    PyObject* item = refusal.item();
    char at[320];
    where(refusal, refusal.depth(), at, sizeof at);
    switch (kind) {
    case RefusalKind::type:
        refuseType(context, at, item);
        break;
    case RefusalKind::notFinite: {
        const double x = PyFloat_AS_DOUBLE(item);
        PyErr_Format(PyExc_ValueError, "cannot encode %s%s: only finite floats can be encoded",
                     std::isnan(x) ? "nan" : x > 0 ? "inf" : "-inf", at);
        break;
    }
    case RefusalKind::tooDeep: {
        const Py_ssize_t repeated = firstRepeated(refusal);
        if (repeated >= 0) {
            where(refusal, repeated, at, sizeof at);
            PyErr_Format(PyExc_RecursionError, "the list%s contains itself", at);
        } else {
            PyErr_Format(PyExc_RecursionError, "maximum depth of %d nested lists exceeded while encoding the list%s",
                         MAX_DEPTH, at);
        }
        break;
    }
    case RefusalKind::strictList:
        PyErr_Format(context.errorClass, "cannot encode a list of %zd items%s: readers take at most %d (strict)",
                     PySequence_Fast_GET_SIZE(item), at, SIZE_LIMIT);
        break;
    case RefusalKind::strictBytes:
        PyErr_Format(context.errorClass, "cannot encode a byte string of %zd bytes%s: readers take at most %d (strict)",
                     PyBytes_GET_SIZE(item), at, SIZE_LIMIT);
        break;
    case RefusalKind::strictInt:
        PyErr_Format(context.errorClass,
                     "cannot encode an int of 2**%d or more%s: readers take at most %zd header digits (strict)",
                     BIG_INT_BITS, at, HEADER_LIMIT);
        break;
    case RefusalKind::none:
        break;
    }
    return nullptr;
}

}  // namespace molvar
