// The floor of decoding: a value's objects made from a plan parsed ahead.
//
// Decoding must make every object it returns. This module makes them with
// nothing else: plan(values) walks a list of values once and records, in a bytes
// object, what building it again takes (each int's value, each float's,
// each byte string's bytes, each list's length); build(plan) then makes the
// objects with the C API calls a decoder makes (PyLong_FromLong,
// PyFloat_FromDouble, PyBytes_FromStringAndSize, PyList_New and
// PyList_SET_ITEM), reading fixed-size records, with no parsing. An object
// reached twice (a shared word, in one value or in several) is made once,
// where it is first reached, and referenced again after, as the values hold
// it: the least any decoder can do, even one with a perfect cache. With
// plan(values, True), byte strings of 2 to 32 bytes are made once for each
// content, as a decoder's cache of short strings would at best make them,
// whether or not the values share them. copy(data) is the floor of
// encoding: a new bytes object with data's bytes.
//
// Benchmark-only: built by bench/floor_build.py, never installed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

enum : unsigned char {
    OP_LIST = 'L',   // uint32 count, then the items
    OP_INT = 'I',    // int64
    OP_BIG = 'G',    // uint32 size, then the int's little-endian two's complement bytes
    OP_FLOAT = 'F',  // double
    OP_BYTES = 'S',  // uint32 size, then the bytes
    OP_KEEP = 'K',   // the next object is kept for OP_REF: uint32 its slot
    OP_REF = 'R',    // uint32 slot of an object made before
};

// The byte strings that plan(values, True) makes once for each content.
constexpr Py_ssize_t WORD_SIZES[] = {2, 32};

struct Planner {
    bool words = false;  // byte strings of WORD_SIZES made once for each content
    std::string out;
    std::unordered_map<PyObject*, uint32_t> slots;  // objects seen, by identity: their slot
    std::unordered_map<std::string, uint32_t> wordSlots;  // with `words`: byte strings seen, by content
    std::unordered_map<PyObject*, int> seen;        // first pass: how often each is reached
    uint32_t nextSlot = 0;

    void put(const void* data, std::size_t size) { out.append(static_cast<const char*>(data), size); }
    void putU32(uint32_t n) { put(&n, sizeof n); }

    void count(PyObject* value)
    {
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyBytes_CheckExact(value) ||
            PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
            if (++seen[value] > 1) {
                return;
            }
        }
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
            const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
            for (Py_ssize_t i = 0; i < size; ++i) {
                count(PySequence_Fast_GET_ITEM(value, i));
            }
        }
    }

    int plan(PyObject* value)
    {
        auto found = slots.find(value);
        if (found != slots.end()) {
            out.push_back(OP_REF);
            putU32(found->second);
            return 0;
        }
        // The interpreter's own shared objects are made by the calls themselves.
        auto reached = seen.find(value);
        const bool word = words && PyBytes_CheckExact(value) && PyBytes_GET_SIZE(value) >= WORD_SIZES[0] &&
                          PyBytes_GET_SIZE(value) <= WORD_SIZES[1];
        std::string content;
        if (word) {
            content.assign(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
            auto made = wordSlots.find(content);
            if (made != wordSlots.end()) {
                out.push_back(OP_REF);
                putU32(made->second);
                return 0;
            }
        }
        if (word || (reached != seen.end() && reached->second > 1 && !isShared(value))) {
            out.push_back(OP_KEEP);
            putU32(nextSlot);
            slots.emplace(value, nextSlot);
            if (word) {
                wordSlots.emplace(std::move(content), nextSlot);
            }
            ++nextSlot;
        }
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
            const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
            out.push_back(OP_LIST);
            putU32(static_cast<uint32_t>(size));
            for (Py_ssize_t i = 0; i < size; ++i) {
                if (plan(PySequence_Fast_GET_ITEM(value, i)) < 0) {
                    return -1;
                }
            }
            return 0;
        }
        if (PyBytes_CheckExact(value)) {
            out.push_back(OP_BYTES);
            putU32(static_cast<uint32_t>(PyBytes_GET_SIZE(value)));
            put(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
            return 0;
        }
        if (PyFloat_CheckExact(value)) {
            out.push_back(OP_FLOAT);
            const double d = PyFloat_AS_DOUBLE(value);
            put(&d, sizeof d);
            return 0;
        }
        if (PyLong_CheckExact(value)) {
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow == 0) {
                if (n == -1 && PyErr_Occurred()) {
                    return -1;
                }
                out.push_back(OP_INT);
                const int64_t v = n;
                put(&v, sizeof v);
                return 0;
            }
            const std::size_t size = _PyLong_NumBits(value) / 8 + 1;  // room for the sign bit
            std::vector<unsigned char> bytes(size);
#if PY_VERSION_HEX >= 0x030D0000
            if (PyLong_AsNativeBytes(value, bytes.data(), static_cast<Py_ssize_t>(size), 1 /* little endian */) < 0) {
                return -1;
            }
#else
            if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value), bytes.data(), size, 1, 1) < 0) {
                return -1;
            }
#endif
            out.push_back(OP_BIG);
            putU32(static_cast<uint32_t>(size));
            put(bytes.data(), size);
            return 0;
        }
        PyErr_Format(PyExc_TypeError, "no plan for a %.200s", Py_TYPE(value)->tp_name);
        return -1;
    }

    static bool isShared(PyObject* value)
    {
        if (PyBytes_CheckExact(value)) {
            return PyBytes_GET_SIZE(value) <= 1;
        }
        if (PyLong_CheckExact(value)) {
            int overflow = 0;
            const long n = PyLong_AsLongAndOverflow(value, &overflow);
            return overflow == 0 && n >= -5 && n <= 256;
        }
        return false;
    }
};

// plan(values, words=False): a plan for each value of the list, in one
// numbering of the objects reached more than once, in one value or across
// several (with `words`, of the short byte strings of one content too): the
// first plan to reach one makes it, the others refer to it. Each plan
// starts with the count of slots they all use.
PyObject* plan(PyObject*, PyObject* args)
{
    PyObject* values = nullptr;
    int words = 0;
    if (!PyArg_ParseTuple(args, "O|p:plan", &values, &words)) {
        return nullptr;
    }
    if (!PyList_CheckExact(values)) {
        PyErr_SetString(PyExc_TypeError, "plan() takes a list of values");
        return nullptr;
    }
    Planner planner;
    planner.words = words != 0;
    planner.count(values);
    planner.seen[values] = 1;  // the list itself is not planned
    std::vector<std::string> plans;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        planner.out.assign(sizeof(uint32_t), '\0');  // the count of slots, known at the end
        if (planner.plan(PyList_GET_ITEM(values, i)) < 0) {
            return nullptr;
        }
        plans.push_back(std::move(planner.out));
    }
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(plans.size()));
    if (out == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i < plans.size(); ++i) {
        std::memcpy(&plans[i][0], &planner.nextSlot, sizeof planner.nextSlot);
        PyObject* one = PyBytes_FromStringAndSize(plans[i].data(), static_cast<Py_ssize_t>(plans[i].size()));
        if (one == nullptr) {
            Py_DECREF(out);
            return nullptr;
        }
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), one);
    }
    return out;
}

// The objects kept for OP_REF, across the plans of one list (owned).
std::vector<PyObject*> keptObjects;

struct Builder {
    const unsigned char* at;

    uint32_t u32()
    {
        uint32_t n;
        std::memcpy(&n, at, sizeof n);
        at += sizeof n;
        return n;
    }

    PyObject* build()
    {
        PyObject** keep = nullptr;
        if (*at == OP_KEEP) {
            ++at;
            keep = &keptObjects[u32()];
        }
        PyObject* value = nullptr;
        switch (*at++) {
        case OP_INT: {
            int64_t n;
            std::memcpy(&n, at, sizeof n);
            at += sizeof n;
            value = PyLong_FromLong(static_cast<long>(n));
            break;
        }
        case OP_FLOAT: {
            double d;
            std::memcpy(&d, at, sizeof d);
            at += sizeof d;
            value = PyFloat_FromDouble(d);
            break;
        }
        case OP_BYTES: {
            const uint32_t size = u32();
            value = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(at), size);
            at += size;
            break;
        }
        case OP_BIG: {
            const uint32_t size = u32();
#if PY_VERSION_HEX >= 0x030D0000
            value = PyLong_FromNativeBytes(at, size, 1);
#else
            value = _PyLong_FromByteArray(at, size, 1, 1);
#endif
            at += size;
            break;
        }
        case OP_REF:
            value = keptObjects[u32()];
            Py_INCREF(value);
            return value;
        case OP_LIST: {
            const uint32_t count = u32();
            value = PyList_New(count);
            if (value == nullptr) {
                return nullptr;
            }
            for (uint32_t i = 0; i < count; ++i) {
                PyObject* item = build();
                if (item == nullptr) {
                    Py_DECREF(value);
                    return nullptr;
                }
                PyList_SET_ITEM(value, i, item);
            }
            break;
        }
        default:
            PyErr_SetString(PyExc_ValueError, "not a plan");
            return nullptr;
        }
        if (keep != nullptr && value != nullptr) {
            Py_INCREF(value);
            Py_XSETREF(*keep, value);
        }
        return value;
    }
};

PyObject* build(PyObject*, PyObject* planned)
{
    if (!PyBytes_CheckExact(planned) || PyBytes_GET_SIZE(planned) < 5) {
        PyErr_SetString(PyExc_TypeError, "build() takes a plan");
        return nullptr;
    }
    Builder builder{reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(planned))};
    const uint32_t slots = builder.u32();
    if (slots > keptObjects.size()) {
        keptObjects.resize(slots, nullptr);
    }
    return builder.build();
}

PyObject* copy(PyObject*, PyObject* data)
{
    if (!PyBytes_CheckExact(data)) {
        PyErr_SetString(PyExc_TypeError, "copy() takes bytes");
        return nullptr;
    }
    return PyBytes_FromStringAndSize(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data));
}

PyMethodDef methods[] = {
    {"plan", plan, METH_VARARGS,
     "plan(values, words=False): for each value, what build() needs to make its objects again."},
    {"build", build, METH_O, "build(plan): the objects of the planned value, made with no parsing."},
    {"copy", copy, METH_O, "copy(data): a new bytes object of data's bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "_molvar_floor", "The floor of decoding and encoding.", -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit__molvar_floor(void)
{
    return PyModule_Create(&moduleDef);
}
