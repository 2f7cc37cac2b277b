// Python's int objects from the inside, where the release's layout is known.
//
// An int is an array of PyLong_SHIFT-bit digits, least significant first,
// with the sign kept apart; the header in front of the array changed in
// 3.12, from a signed digit count to a tag. The codec reads that array
// directly where the public API would cost a call per int or an
// intermediate array of bytes.
//
// MOLVAR_INT_LAYOUT is set for the releases whose layout this file knows,
// 3.9 to 3.15 (the newest tested); elsewhere, or when the build asks for the
// public API only (MOLVAR_PUBLIC_API, which the test matrix builds once),
// the codec takes the public paths beside each use: PyLong_AsLongAndOverflow
// and, from 3.14, PyLong_Export and PyLongWriter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if !defined(MOLVAR_PUBLIC_API) && PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x03100000
#define MOLVAR_INT_LAYOUT 1
#endif

#ifdef MOLVAR_INT_LAYOUT

namespace molvar {

#if PY_VERSION_HEX >= 0x030C0000
// The tag's two low bits are the sign: 0 positive, 1 zero, 2 negative.
constexpr uintptr_t PYLONG_NEGATIVE = 2;
#endif

// The digits of an int (exact or subclass) and their count.
inline digit* pylongDigits(PyObject* value)
{
#if PY_VERSION_HEX >= 0x030C0000
    return reinterpret_cast<PyLongObject*>(value)->long_value.ob_digit;
#else
    return reinterpret_cast<PyLongObject*>(value)->ob_digit;
#endif
}

inline Py_ssize_t pylongDigitCount(PyObject* value)
{
#if PY_VERSION_HEX >= 0x030C0000
    return static_cast<Py_ssize_t>(reinterpret_cast<PyLongObject*>(value)->long_value.lv_tag >> _PyLong_NON_SIZE_BITS);
#else
    const Py_ssize_t size = Py_SIZE(value);
    return size < 0 ? -size : size;
#endif
}

// Makes negative an int just made by _PyLong_New, which is positive.
inline void pylongSetNegative(PyObject* value)
{
#if PY_VERSION_HEX >= 0x030C0000
    auto* tagged = reinterpret_cast<PyLongObject*>(value);
    tagged->long_value.lv_tag = (tagged->long_value.lv_tag & ~uintptr_t{_PyLong_SIGN_MASK}) | PYLONG_NEGATIVE;
#else
    Py_SET_SIZE(value, -Py_SIZE(value));
#endif
}

inline bool pylongIsNegative(PyObject* value)
{
#if PY_VERSION_HEX >= 0x030C0000
    return (reinterpret_cast<PyLongObject*>(value)->long_value.lv_tag & _PyLong_SIGN_MASK) == PYLONG_NEGATIVE;
#else
    return Py_SIZE(value) < 0;
#endif
}

}  // namespace molvar

#endif  // MOLVAR_INT_LAYOUT
