// libFuzzer target: the codec linked in, with the interpreter embedded.
//
// cMolvar and the companion's native module are registered as built-in
// modules, so the instrumented code is the code under test, and every
// input goes to harness.check (see harness.py), which feeds it to
// dataReceived and to a Decoder in chunks, and checks the round trip. A
// fault the harness reports aborts, as a crash would.
//
// PYTHONPATH must hold the repository's src/ (for the companion package) and
// fuzz/ (for harness.py); fuzz/build-fuzzer and scripts/fuzz set it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" PyObject* PyInit_cMolvar(void);
extern "C" PyObject* PyInit__native(void);

namespace {

PyObject* check = nullptr;     // harness.check, held for the process
PyObject* encoder = nullptr;   // harness.selected_encode(), held for the process

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "decoder_fuzz: %s\n", what);
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    std::fflush(stderr);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Every allocation through the system allocator, where AddressSanitizer
    // sees it: pymalloc's arenas would hide overruns of small blocks.
    setenv("PYTHONMALLOC", "malloc", 1);
    if (PyImport_AppendInittab("cMolvar", PyInit_cMolvar) < 0 ||
        PyImport_AppendInittab("kestrix.vantle.molvar._native", PyInit__native) < 0) {
        fail("cannot register the modules");
    }
    Py_InitializeEx(0);
    // The built-in importer finds only top-level modules: route the
    // companion's native module to it.
    if (PyRun_SimpleString("import sys, importlib.machinery as machinery\n"
                           "class NativeFinder:\n"
                           "    @staticmethod\n"
                           "    def find_spec(name, path=None, target=None):\n"
                           "        if name == 'kestrix.vantle.molvar._native':\n"
                           "            return machinery.ModuleSpec(name, machinery.BuiltinImporter, origin='built-in')\n"
                           "sys.meta_path.insert(0, NativeFinder)\n") != 0) {
        fail("cannot install the finder of the native module");
    }
    PyObject* harness = PyImport_ImportModule("harness");
    if (harness == nullptr) {
        fail("cannot import harness (is fuzz/ on PYTHONPATH?)");
    }
    check = PyObject_GetAttrString(harness, "check");
    PyObject* select = PyObject_GetAttrString(harness, "selected_encode");
    Py_DECREF(harness);
    if (check == nullptr || select == nullptr) {
        fail("harness lacks check or selected_encode");
    }
    encoder = PyObject_CallNoArgs(select);
    Py_DECREF(select);
    if (encoder == nullptr) {
        fail("selected_encode failed");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PyObject* input = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
    if (input == nullptr) {
        fail("cannot make the input");
    }
    PyObject* result = PyObject_CallFunctionObjArgs(check, input, encoder, nullptr);
    Py_DECREF(input);
    if (result == nullptr) {
        fail("the harness found a fault");
    }
    Py_DECREF(result);
    return 0;
}
