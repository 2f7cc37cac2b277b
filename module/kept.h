// Kept: the buffer or state that dumps and loads keep for their next call,
// so that a call makes neither. A call takes the one kept, or makes its own
// when there is none (it is in use by a call further up the stack, or by
// another thread), and gives it back when no one else holds it.
//
// With the global lock, one object is kept. Without it, a few are, each in
// a slot of its own cache line, and a thread takes and gives back the one
// of the slot its id picks: two threads then rarely meet on a slot, and
// each mostly reuses its own object. Making one per call instead would
// have every thread write the reference count of the one heap type that
// all of them share, at each call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#ifdef Py_GIL_DISABLED
#include <atomic>
#endif

namespace molvar {

template <class T>
class Kept {
public:
    // The object kept (a reference handed over), or null: the caller makes its own.
    T* take()
    {
#ifdef Py_GIL_DISABLED
        return slot().object.exchange(nullptr, std::memory_order_acquire);
#else
        return std::exchange(object_, nullptr);
#endif
    }

    // Takes `object` (a reference handed over) back when no one else holds
    // it (a converter may keep `write`, and with it the buffer) and the
    // slot is free; else releases it.
    void giveBack(T* object)
    {
        if (Py_REFCNT(object) == 1) {
#ifdef Py_GIL_DISABLED
            T* empty = nullptr;
            if (slot().object.compare_exchange_strong(empty, object, std::memory_order_release)) {
                return;
            }
#else
            if (object_ == nullptr) {
                object_ = object;
                return;
            }
#endif
        }
        Py_DECREF(object);
    }

    // For a module's m_traverse, which runs with every other thread stopped.
    int traverse(visitproc visit, void* arg)
    {
#ifdef Py_GIL_DISABLED
        for (Slot& each : slots_) {
            Py_VISIT(reinterpret_cast<PyObject*>(each.object.load(std::memory_order_relaxed)));
        }
#else
        Py_VISIT(reinterpret_cast<PyObject*>(object_));
#endif
        return 0;
    }

    // Releases what is kept. Safe to call again.
    void clear()
    {
#ifdef Py_GIL_DISABLED
        for (Slot& each : slots_) {
            Py_XDECREF(reinterpret_cast<PyObject*>(each.object.exchange(nullptr)));
        }
#else
        Py_XDECREF(reinterpret_cast<PyObject*>(std::exchange(object_, nullptr)));
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    static constexpr std::size_t SLOTS = 8;
    static constexpr std::size_t LINE = 128;  // apart by this much, whatever the block's alignment
    struct Slot {
        std::atomic<T*> object{nullptr};
        char pad[LINE - sizeof(std::atomic<T*>)];
    };

    // The thread's id (a pointer, on the usual platforms: its low bits
    // alike from thread to thread) mixed, and its top bits taken.
    Slot& slot()
    {
        const auto id = static_cast<uint64_t>(PyThread_get_thread_ident());
        return slots_[(id * 0x9E3779B97F4A7C15u) >> (64 - 3)];
    }
    static_assert(SLOTS == 8, "slot() takes the top 3 bits");

    Slot slots_[SLOTS];
#else
    T* object_ = nullptr;
#endif
};

}  // namespace molvar
