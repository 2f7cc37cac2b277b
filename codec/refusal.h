// Refusal: what the encoder records of a value it refuses, for a caller
// that explains the refusal (the companion's dumps) rather than pass on the
// encoder's fixed text: what kind of refusal it was, the item refused, and
// the sequences down to it with the index taken in each. It is recorded
// where the refusal is raised, and the path as the failure unwinds, so
// nothing is guessed after the fact; any other exception (a converter's,
// a MemoryError) leaves no record and passes through as it was raised.
//
// The caller owns the record and lends it to the buffer for one encode
// (cMolvarBuf::refusal); with none lent, the encoder records nothing.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace molvar {

enum class RefusalKind {
    none,
    type,          // a type the format cannot carry
    notFinite,     // an infinite float, or NaN
    tooDeep,       // lists nested deeper than the encoder goes (or containing themselves)
    strictList,    // strict: more items than a reader takes
    strictBytes,   // strict: more bytes than a reader takes
    strictInt,     // strict: more digits than a reader takes
};

struct RefusalLevel {
    PyObject* seq;  // owned
    Py_ssize_t index;
};

class Refusal {
public:
    explicit Refusal(bool strict) : strict_(strict) {}
    Refusal(const Refusal&) = delete;
    Refusal& operator=(const Refusal&) = delete;
    ~Refusal();

    // Whether the encoder also refuses what no reader takes.
    bool strict() const { return strict_; }

    // At the point of refusal, with its exception set: records it. Keeps
    // the first refusal only.
    void record(RefusalKind kind, PyObject* item);

    // As a recorded refusal unwinds through a list level: `seq` was at
    // `index` when it failed. Nothing when none is recorded (another
    // exception is unwinding). A level that cannot be kept (no memory) cuts
    // the path short, never the refusal.
    void unwind(PyObject* seq, Py_ssize_t index);

    // The refusal recorded, when `error` is its exception (else none: the
    // exception that stopped the encoder came from elsewhere).
    RefusalKind kindFor(PyObject* error) const { return error == error_ ? kind_ : RefusalKind::none; }
    PyObject* item() const { return item_; }

    // The levels, outermost first: level(0) is the value's own, unless
    // the path was cut, when the outer levels are missing.
    Py_ssize_t depth() const { return depth_; }
    bool cut() const { return cut_; }
    const RefusalLevel& level(Py_ssize_t i) const { return levels_[depth_ - 1 - i]; }

private:
    bool strict_;
    RefusalKind kind_ = RefusalKind::none;
    PyObject* error_ = nullptr;  // owned
    PyObject* item_ = nullptr;   // owned
    RefusalLevel* levels_ = nullptr;  // innermost first, as unwound; PyMem block
    Py_ssize_t depth_ = 0;
    Py_ssize_t room_ = 0;
    bool cut_ = false;  // a level could not be kept: the path stops there
};

}  // namespace molvar
