// Lists made at a size known ahead and filled in place, item by item, in
// order. Where a release's list layout is known (3.9 to 3.15, the newest
// tested), the item block is taken unzeroed and the list's size follows the
// items put (so the collector, which may run while an item is made, sees
// only those); elsewhere (a free-threaded build, whose lists keep their
// items in a block of their own kind, or a build that asks for the public
// API only) the list is made at its size and its items set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#if !defined(MOLVAR_PUBLIC_API) && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x03090000 && \
    PY_VERSION_HEX < 0x03100000
#define MOLVAR_LIST_LAYOUT 1
#endif

namespace molvar {

// Whether making a list may run host code. Before 3.12, an allocation past
// the collector's threshold collects at once, and the collector may run
// finalizers and weak reference callbacks. From 3.12 it only schedules the
// collection, which runs where the interpreter handles pending work
// (between bytecodes, or in PyErr_CheckSignals), never inside a function
// that makes lists.
constexpr bool MAKING_A_LIST_MAY_RUN_HOST_CODE = PY_VERSION_HEX < 0x030C0000;

// Holds the collector back, for a stretch of decoding that makes objects
// and runs no host code, where an allocation would otherwise collect at
// once (3.10 and 3.11; from 3.12 a collection waits for the interpreter's
// pending work anyway, and 3.9 has no call for it). Collecting while a
// large value is made visits its young lists again and again as they age
// from one generation to the next; held back, the next allocation after
// the stretch collects once, over the finished value. Host code sees the
// collector as it left it: the stretch lifts the pause around what may
// run host code, and a collector the host turned off stays off.
#if PY_VERSION_HEX >= 0x030A0000 && !defined(Py_GIL_DISABLED)
#define MOLVAR_COLLECTOR_PAUSE 1
#endif

class CollectorPause {
public:
    // `wanted`: whether the stretch may make enough lists to collect more
    // than once (else a pause costs more than it saves).
    explicit CollectorPause(bool wanted)
    {
#ifdef MOLVAR_COLLECTOR_PAUSE
        wanted_ = MAKING_A_LIST_MAY_RUN_HOST_CODE && wanted;  // where a collection could run
#else
        static_cast<void>(wanted);
#endif
        hold();
    }
    ~CollectorPause() { lift(); }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

    // Whether making a list meanwhile may run host code (the collector,
    // where this pause was not wanted).
    bool listsMayRunHostCode() const
    {
#ifdef MOLVAR_COLLECTOR_PAUSE
        return MAKING_A_LIST_MAY_RUN_HOST_CODE && !wanted_;
#else
        return MAKING_A_LIST_MAY_RUN_HOST_CODE;
#endif
    }

    // Turns the collector off, if it is on (the host's choice, each time).
    void hold()
    {
#ifdef MOLVAR_COLLECTOR_PAUSE
        resume_ = wanted_ && PyGC_Disable() != 0;
#endif
    }
    // Turns it on again, if this pause turned it off.
    void lift()
    {
#ifdef MOLVAR_COLLECTOR_PAUSE
        if (resume_) {
            resume_ = false;
            PyGC_Enable();
        }
#endif
    }

private:
#ifdef MOLVAR_COLLECTOR_PAUSE
    bool wanted_ = false;
    bool resume_ = false;
#endif
};

// The input from which a stretch of decoding holds the collector back. A
// collection is due at every 700 tracked objects made, by default, and the
// only ones made here are lists, of one byte at least: a shorter stretch
// may meet two collections at most, and the pause's two calls would cost
// a small message 4% of its decoding.
constexpr Py_ssize_t COLLECTOR_PAUSE_FROM = 1024;

// A list with room for `size` > 0 items and none put yet: a new
// reference, or null with the exception set.
inline PyObject* newListToFill(Py_ssize_t size)
{
#ifdef MOLVAR_LIST_LAYOUT
    PyObject* list = PyList_New(0);
    if (list == nullptr) {
        return nullptr;
    }
    auto* items = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<std::size_t>(size)));
    if (items == nullptr) {
        Py_DECREF(list);
        return PyErr_NoMemory();
    }
    auto* filled = reinterpret_cast<PyListObject*>(list);
    filled->ob_item = items;
    filled->allocated = size;
    return list;
#else
    return PyList_New(size);
#endif
}

// Puts item `index` (stolen) of a list from newListToFill: items 0 to
// index - 1 are put already.
inline void fillList(PyObject* list, Py_ssize_t index, PyObject* item)
{
#ifdef MOLVAR_LIST_LAYOUT
    reinterpret_cast<PyListObject*>(list)->ob_item[index] = item;
    Py_SET_SIZE(list, index + 1);
#else
    PyList_SET_ITEM(list, index, item);
#endif
}

}  // namespace molvar
