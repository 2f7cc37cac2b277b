// Claim: one thread's call at a time on an object whose bytes or frames
// must stay consistent across host code.
//
// A call that runs host code in the middle of its work (a converter, an
// int's __index__ or comparison, a receiver callback) is not atomic, even
// holding the object's critical section: CPython suspends the section
// whenever the thread blocks, on a nested section (a list's) or in host
// code, and with the GIL another thread may run while host code does. So
// such a call claims the object for its thread, and a call from another
// thread meanwhile is refused with RuntimeError instead of interleaving.
// The owning thread may call in again (a converter writes through the
// buffer's own `write`, a receiver callback feeds its own state): that stays
// as deterministic as any nested call.
//
// The owner is read and written under the object's critical section.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>

namespace molvar {

// Whether a call of this thread may use an object whose owner is `owner`
// (0: none). Otherwise RuntimeError is set, naming `what`.
inline bool mayUse(unsigned long owner, const char* what)
{
    if (owner == 0 || owner == PyThread_get_thread_ident()) {
        return true;
    }
    PyErr_Format(PyExc_RuntimeError, "%s is in use by a call in another thread", what);
    return false;
}

class Claim {
public:
    // Claims `owner` for this thread, unless another thread holds it (ok()
    // is then false, with RuntimeError set) or this one already does.
    Claim(unsigned long& owner, const char* what) : owner_(owner)
    {
        if (!mayUse(owner, what)) {
            return;
        }
        ok_ = true;
        if (owner == 0) {
            owner = PyThread_get_thread_ident();
            claimed_ = true;
        }
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim()
    {
        if (claimed_) {
            owner_ = 0;
        }
    }

    bool ok() const { return ok_; }

private:
    unsigned long& owner_;
    bool ok_ = false;
    bool claimed_ = false;
};

}  // namespace molvar
