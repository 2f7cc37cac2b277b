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
