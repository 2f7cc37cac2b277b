#include "module/explain.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "codec/critical_section.h"
#include "codec/format.h"
#include "codec/ref.h"
#include "module/shared.h"

namespace molvar {
namespace {

// Lists nested deeper than the encoder takes are not walked.
constexpr Py_ssize_t MAX_WALK_DEPTH = 5000;
// The bits of the largest magnitude a reader takes: 64 header digits of 7.
constexpr int BIG_INT_BITS = 7 * static_cast<int>(HEADER_LIMIT);
// A path of more levels than this is shown by its ends.
constexpr Py_ssize_t SHOWN_LEVELS = 12;

// Where the walk stands: the open sequences, outermost first, each with the
// index of the item being looked at.
struct Level {
    PyObject* seq;  // owned
    Py_ssize_t index;
};

class Walk {
public:
    Walk() = default;
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;
    ~Walk()
    {
        while (depth_ > 0) {
            pop();
        }
        PyMem_Free(levels_);
    }

    Py_ssize_t depth() const { return depth_; }
    Level& top() { return levels_[depth_ - 1]; }

    int push(PyObject* seq)
    {
        if (depth_ == room_) {
            const Py_ssize_t room = room_ == 0 ? 16 : 2 * room_;
            auto* levels = static_cast<Level*>(PyMem_Realloc(levels_, sizeof(Level) * static_cast<std::size_t>(room)));
            if (levels == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
            levels_ = levels;
            room_ = room;
        }
        levels_[depth_++] = Level{Ref::borrow(seq).release(), 0};
        return 0;
    }

    void pop() { Py_DECREF(levels_[--depth_].seq); }

    // Whether `seq` is one of the sequences open above it.
    bool isOpen(PyObject* seq) const
    {
        for (Py_ssize_t i = 0; i < depth_; ++i) {
            if (levels_[i].seq == seq) {
                return true;
            }
        }
        return false;
    }

    // The path of the item being looked at, as "[1][0]" (its ends, when
    // long), up to `levels` levels; into text[size].
    void path(char* text, std::size_t size, Py_ssize_t levels) const
    {
        std::size_t used = 0;
        text[0] = '\0';
        for (Py_ssize_t i = 0; i < levels && used + 24 < size; ++i) {
            if (levels > SHOWN_LEVELS && i == SHOWN_LEVELS - 4) {
                used += static_cast<std::size_t>(std::snprintf(text + used, size - used, "...(%zd levels)...", levels));
                i = levels - 4;
            }
            used += static_cast<std::size_t>(std::snprintf(text + used, size - used, "[%zd]", levels_[i].index));
        }
    }

private:
    Level* levels_ = nullptr;
    Py_ssize_t depth_ = 0;
    Py_ssize_t room_ = 0;
};

// The next item of the innermost open sequence (a new reference), or null
// when it has no more (no exception). Read under the list's lock: another
// thread may be resizing it.
Ref nextItem(Walk& walk)
{
    Level& level = walk.top();
    CriticalSection section(level.seq);
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(level.seq);
    if (level.index >= size) {
        return Ref();
    }
    return Ref::borrow(PySequence_Fast_GET_ITEM(level.seq, level.index));
}

// What a walk looks for at each item: 0 to go on (descending into a list
// or tuple), 1 for the fault it found (exception set), -1 for a failure.
template <class Check>
int walk(PyObject* value, Check check)
{
    Walk walk;
    Ref item = Ref::borrow(value);
    for (;;) {
        const int status = check(walk, item.get());
        if (status != 0) {
            return status;
        }
        if ((PyList_Check(item.get()) || PyTuple_Check(item.get())) && walk.depth() < MAX_WALK_DEPTH) {
            if (walk.push(item.get()) < 0) {
                return -1;
            }
        } else if (walk.depth() == 0) {
            return 0;
        } else {
            ++walk.top().index;
        }
        for (;;) {
            item = nextItem(walk);
            if (item) {
                break;
            }
            walk.pop();
            if (walk.depth() == 0) {
                return 0;
            }
            ++walk.top().index;
        }
    }
}

// " at [1][0]", or "" at the top.
void where(const Walk& walk, char* text, std::size_t size)
{
    if (walk.depth() == 0) {
        text[0] = '\0';
        return;
    }
    char path[200];
    walk.path(path, sizeof path, walk.depth());
    std::snprintf(text, size, " at %s", path);
}

const char CARRIED[] = "the format carries int, float, bytes, and lists or tuples of them";

// Raises what the encoder's type refusal means for `item`. 1.
int refuseType(const Context& context, const Walk& walk, PyObject* item)
{
    char at[240];
    where(walk, at, sizeof at);
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
    return 1;
}

}  // namespace

PyObject* explainEncodeError(const Context& context, PyObject* value)
{
    const bool refusedType = PyErr_ExceptionMatches(context.errorClass);
    const bool refusedFloat = PyErr_ExceptionMatches(PyExc_SystemError);
    const bool tooDeep = PyErr_ExceptionMatches(PyExc_RecursionError);
    if (!refusedType && !refusedFloat && !tooDeep) {
        return nullptr;
    }
    Ref error = fetchException();
    const int found = walk(value, [&](Walk& at, PyObject* item) {
        if ((PyList_Check(item) || PyTuple_Check(item)) && at.isOpen(item)) {
            if (!tooDeep) {
                return 0;  // not what was raised: the walk stops at the depth limit
            }
            char path[240];
            at.path(path, sizeof path, at.depth() - 1);
            PyErr_Format(PyExc_RecursionError, "the list%s%s contains itself", at.depth() > 1 ? " at " : "", path);
            return 1;
        }
        if (PyFloat_Check(item) && !std::isfinite(PyFloat_AS_DOUBLE(item)) && refusedFloat) {
            char where_[240];
            where(at, where_, sizeof where_);
            const double x = PyFloat_AS_DOUBLE(item);
            PyErr_Format(PyExc_ValueError, "cannot encode %s%s: only finite floats can be encoded",
                         std::isnan(x) ? "nan" : x > 0 ? "inf" : "-inf", where_);
            return 1;
        }
        if (!PyList_Check(item) && !PyTuple_Check(item) && !PyLong_Check(item) && !PyFloat_Check(item) &&
            !PyBytes_Check(item) && refusedType) {
            return refuseType(context, at, item);
        }
        return 0;
    });
    if (found == 0) {
        raiseException(std::move(error));  // not found again (the value changed since): as raised
    }
    return nullptr;
}

int checkStrict(const Context& context, PyObject* value)
{
    // 2**448: the first int whose digits no reader takes (64 digits of 7 bits).
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref bits = Ref::steal(PyLong_FromLong(BIG_INT_BITS));
    Ref limit = one && bits ? Ref::steal(PyNumber_Lshift(one.get(), bits.get())) : Ref();
    if (!limit) {
        return -1;
    }
    const int found = walk(value, [&](Walk& at, PyObject* item) {
        char where_[240];
        if (PyList_Check(item) || PyTuple_Check(item)) {
            const Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
            if (size > SIZE_LIMIT) {
                where(at, where_, sizeof where_);
                PyErr_Format(context.errorClass, "cannot encode a list of %zd items%s: readers take at most %d (strict)",
                             size, where_, SIZE_LIMIT);
                return 1;
            }
        } else if (PyBytes_Check(item)) {
            const Py_ssize_t size = PyBytes_GET_SIZE(item);
            if (size > SIZE_LIMIT) {
                where(at, where_, sizeof where_);
                PyErr_Format(context.errorClass,
                             "cannot encode a byte string of %zd bytes%s: readers take at most %d (strict)", size,
                             where_, SIZE_LIMIT);
                return 1;
            }
        } else if (PyLong_Check(item)) {
            // The int's own arithmetic: a subclass's methods are not called.
            Ref magnitude = Ref::steal(PyLong_Type.tp_as_number->nb_absolute(item));
            if (!magnitude) {
                return -1;
            }
            PyObject* tooLarge = PyLong_Type.tp_richcompare(magnitude.get(), limit.get(), Py_GE);
            if (tooLarge == nullptr) {
                return -1;
            }
            const bool refused = tooLarge == Py_True;
            Py_DECREF(tooLarge);
            if (refused) {
                where(at, where_, sizeof where_);
                PyErr_Format(context.errorClass,
                             "cannot encode an int of 2**%d or more%s: readers take at most 64 header digits (strict)",
                             BIG_INT_BITS, where_);
                return 1;
            }
        }
        return 0;
    });
    return found == 0 ? 0 : -1;
}

}  // namespace molvar
