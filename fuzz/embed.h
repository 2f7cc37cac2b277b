// The interpreter embedded in a fuzz target, with the codec linked in.
//
// cMolvar and the companion's native module are registered as built-in
// modules, so that the instrumented code is the code under test. PYTHONPATH
// must hold the repository's src/ (for the companion package), and fuzz/
// for a target that imports harness.py.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>

extern "C" PyObject* PyInit_cMolvar(void);
extern "C" PyObject* PyInit__native(void);

namespace fuzzing {

// Reports `what` (and the pending exception) and aborts, so that libFuzzer
// keeps the input.
[[noreturn]] inline void fail(const char* target, const char* what)
{
    std::fprintf(stderr, "%s: %s\n", target, what);
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    std::fflush(stderr);
    std::abort();
}

inline void embedInterpreter(const char* target)
{
    // Every allocation through the system allocator, where AddressSanitizer
    // sees it: pymalloc's arenas would hide overruns of small blocks.
    setenv("PYTHONMALLOC", "malloc", 1);
    if (PyImport_AppendInittab("cMolvar", PyInit_cMolvar) < 0 ||
        PyImport_AppendInittab("kestrix.vantle.molvar._native", PyInit__native) < 0) {
        fail(target, "cannot register the modules");
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
        fail(target, "cannot install the finder of the native module");
    }
}

}  // namespace fuzzing
