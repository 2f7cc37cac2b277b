// Ref: the one owned-reference type for temporaries.
//
// A Ref holds one strong reference and releases it when it goes out of
// scope. It is move-only; moving, and move-assigning, hand the reference
// over (move-assignment releases the value it held before). There is no
// implicit conversion to PyObject*: lend with get(), hand over with release().
//
// It takes no lock: every use is by a thread attached to the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace molvar {

class Ref {
public:
    Ref() noexcept = default;

    // Adopts a new reference (which may be null, after a failed call).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }

    // Takes a new reference of its own to a borrowed object.
    static Ref borrow(PyObject* object) noexcept
    {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    Ref(Ref&& other) noexcept : object_(other.release()) {}

    Ref& operator=(Ref&& other) noexcept
    {
        Ref old(std::exchange(object_, other.release()));
        return *this;
    }

    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }

    // Hands the reference over to the caller, who now owns it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace molvar
