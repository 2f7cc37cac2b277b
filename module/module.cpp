// Entry point, function table and the error class.
//
// The module uses multi-phase initialisation so that it is in sys.modules
// before its exec step imports the companion, which imports cMolvar in
// turn: either import order then yields one module and one MolvarError.
// There is one module object per process (module/interpreter.h).
#include "module/module.h"

#include "codec/buffer.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/state.h"
#include "module/interpreter.h"
#include "module/ref.h"

using molvar::Ref;

namespace {

const char COMPANION[] = "kestrix.vantle.molvar";

PyMethodDef moduleFunctions[] = {
    {"dataReceived", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cMolvar_dataReceived)),
     METH_FASTCALL, nullptr},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cMolvar_encode)), METH_FASTCALL,
     nullptr},
    {"newState", cMolvarState_new, METH_NOARGS, nullptr},
    {"newBuf", cMolvarBuf_new, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Returns a new reference to `attrName` of module `moduleName` (a dotted
// path), or null with the exception set; `imported` tells whether the
// module itself was imported.
PyObject* cMolvar_importAttr(const char* moduleName, const char* attrName, bool& imported)
{
    imported = false;
    Ref fromList = Ref::steal(Py_BuildValue("[s]", attrName));
    if (!fromList) {
        return nullptr;
    }
    // A non-empty from-list makes the import return the innermost module.
    Ref module = Ref::steal(PyImport_ImportModuleEx(moduleName, nullptr, nullptr, fromList.get()));
    if (!module) {
        return nullptr;
    }
    imported = true;
    return PyObject_GetAttrString(module.get(), attrName);
}

// Whether the pending error is a ModuleNotFoundError for the companion or
// for a package on its path (the error stays pending).
bool companionNotFound()
{
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        return false;
    }
    Ref error = molvar::fetchException();
    Ref name = Ref::steal(PyObject_GetAttrString(error.get(), "name"));
    PyErr_Clear();
    molvar::raiseException(std::move(error));
    if (!name || !PyUnicode_Check(name.get())) {
        return false;
    }
    char prefix[sizeof COMPANION];
    for (std::size_t i = 0;; ++i) {
        if (COMPANION[i] == '.' || COMPANION[i] == '\0') {
            prefix[i] = '\0';
            if (PyUnicode_CompareWithASCIIString(name.get(), prefix) == 0) {
                return true;
            }
            if (COMPANION[i] == '\0') {
                return false;
            }
        }
        prefix[i] = COMPANION[i];
    }
}

// Binds MolvarError to the companion's class. When the companion is not
// installed, or has no such class, the fallback class that
// cMolvar_errorClass holds stays, and the reason is printed once. Any other
// failure (MemoryError, an error raised by the companion's own code, a
// module it needs that is missing) fails the import: falling back then
// would keep a second MolvarError for the life of the process.
int bindErrorClass()
{
    bool imported = false;
    PyObject* errorClass = cMolvar_importAttr(COMPANION, "MolvarError", imported);
    if (errorClass == nullptr) {
        const bool absent = imported ? PyErr_ExceptionMatches(PyExc_AttributeError) : companionNotFound();
        if (!absent) {
            return -1;
        }
        PyErr_Print();
    } else {
        Py_SETREF(cMolvar_errorClass, errorClass);
        // The companion defines its converters before it imports cMolvar.
        Ref companion = Ref::steal(PyImport_ImportModule(COMPANION));
        if (!companion) {
            return -1;
        }
        cMolvar_bindCompanionConverters(companion.get());
    }
    return PyDict_SetItemString(cMolvar_moduleDict, "MolvarError", cMolvar_errorClass);
}

PyObject* cMolvar_create(PyObject* spec, PyModuleDef* def)
{
    return molvar::createModuleOnce(spec, def, cMolvar_module);
}

// Set when an exec has bound everything; later ones have nothing to do.
bool moduleReady = false;

int cMolvar_exec(PyObject* module)
{
    if (moduleReady) {
        return 0;  // the bound module, imported again (module/interpreter.h)
    }
    // After a failed exec, create hands the same module over again: the
    // companion may have been imported, and its converters installed there.
    if (cMolvar_module == nullptr) {
        Py_INCREF(module);
        cMolvar_module = module;
        cMolvar_moduleDict = PyModule_GetDict(module);  // never null for a module object
        Py_INCREF(cMolvar_moduleDict);
    }
    if (cMolvar_readyTypes() < 0) {
        return -1;
    }
    // The fallback class is made first: while the companion is imported,
    // code it runs can call the codec, whose errors need a class.
    if (cMolvar_errorClass == nullptr &&
        (cMolvar_errorClass = PyErr_NewException("cMolvar.MolvarError", nullptr, nullptr)) == nullptr) {
        return -1;
    }
    if (bindErrorClass() < 0) {
        return -1;
    }
    moduleReady = true;
    return 0;
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(cMolvar_create)},
    {Py_mod_exec, reinterpret_cast<void*>(cMolvar_exec)},
    MOLVAR_MAIN_INTERPRETER_ONLY
    {0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "cMolvar",
    nullptr,  // no doc text
    0,
    moduleFunctions,
    moduleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_cMolvar(void)
{
    return PyModuleDef_Init(&moduleDef);
}
