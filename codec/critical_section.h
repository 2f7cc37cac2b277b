// CriticalSection: holds the lock of one object for a scope, where the
// build has no global interpreter lock; elsewhere the interpreter's lock
// already serialises every call, and it is nothing.
//
// The lock is CPython's per-object critical section: it is suspended while
// the thread waits (for another lock, or in host code that blocks), so a
// call that runs host code may find the object changed after it, exactly as
// when that host code calls back in on the same thread. Nested sections on
// one object in one thread do not deadlock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace molvar {

class CriticalSection {
public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject* object) { PyCriticalSection_Begin(&section_, object); }
    ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
    explicit CriticalSection(PyObject*) {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

}  // namespace molvar
