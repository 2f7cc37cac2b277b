// BytesView: the bytes of any bytes-like argument, held for one call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "codec/ref.h"

namespace molvar {

class BytesView {
public:
    BytesView() = default;
    BytesView(const BytesView&) = delete;
    BytesView& operator=(const BytesView&) = delete;
    ~BytesView()
    {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    // Opens `object`: bytes are read in place, other buffers through the
    // buffer protocol (which also keeps a bytearray from being resized
    // while it is read), non-contiguous ones through a copy. 0, or -1 with
    // a TypeError for str and for what has no buffer.
    int open(PyObject* object)
    {
        if (PyBytes_Check(object)) {
            return set(object);
        }
        if (!PyUnicode_Check(object) && PyObject_CheckBuffer(object)) {
            if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0) {
                held_ = true;
                data_ = static_cast<const unsigned char*>(view_.buf);
                size_ = view_.len;
                return 0;
            }
            if (!PyErr_ExceptionMatches(PyExc_BufferError)) {
                return -1;
            }
            PyErr_Clear();
            copy_ = Ref::steal(PyBytes_FromObject(object));
            return copy_ ? set(copy_.get()) : -1;
        }
        PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%.200s'", Py_TYPE(object)->tp_name);
        return -1;
    }

    const unsigned char* data() const { return data_; }
    Py_ssize_t size() const { return size_; }

private:
    int set(PyObject* bytes)
    {
        data_ = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes));
        size_ = PyBytes_GET_SIZE(bytes);
        return 0;
    }

    Py_buffer view_{};
    bool held_ = false;
    Ref copy_;
    const unsigned char* data_ = nullptr;
    Py_ssize_t size_ = 0;
};

}  // namespace molvar
