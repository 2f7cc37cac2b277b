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
#include "codec/ref.h"
#include "codec/state.h"
#include "module/interpreter.h"
#include "module/shared.h"

using molvar::Ref;

molvar::Context cMolvar_context;
PyObject*& cMolvar_module = cMolvar_context.converterHost;
PyObject*& cMolvar_moduleDict = cMolvar_context.converterNamespace;
PyObject*& cMolvar_errorClass = cMolvar_context.errorClass;

// Static types, filled in by readyTypes (the slots not set there stay 0).
PyTypeObject cMolvarBuf_Type{};
PyTypeObject cMolvarState_Type{};

PyObject* cMolvar_dataReceived(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    return molvar::dataReceivedCall(cMolvar_context, args, nargs);
}

PyObject* cMolvar_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    return molvar::encodeCall(cMolvar_context, args, nargs);
}

PyObject* cMolvarBuf_new(PyObject*, PyObject*) { return molvar::newBuf(cMolvar_context); }
void cMolvarBuf_dealloc(PyObject* self) { molvar::bufDealloc(self); }
PyObject* cMolvarBuf_getattr(PyObject* self, PyObject* name) { return molvar::bufGetattr(self, name); }
PyObject* cMolvarBuf_write(PyObject* self, PyObject* args) { return molvar::bufWrite(self, args); }
PyObject* cMolvarBuf_clear(PyObject* self, PyObject* unused) { return molvar::bufClear(self, unused); }
PyObject* cMolvarBuf_get(PyObject* self, PyObject* unused) { return molvar::bufGet(self, unused); }
PyObject* cMolvarState_new(PyObject*, PyObject*) { return molvar::newState(cMolvar_context); }
void cMolvarState_dealloc(PyObject* self) { molvar::stateDealloc(self); }

namespace {

const char COMPANION[] = "kestrix.vantle.molvar";

PyMethodDef bufMethods[] = {
    {"write", cMolvarBuf_write, METH_VARARGS, nullptr},
    {"clear", cMolvarBuf_clear, METH_NOARGS, nullptr},
    {"get", cMolvarBuf_get, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Readies both types (once; later calls find them ready). 0, or -1 with
// the exception set.
int readyTypes()
{
    if (cMolvarBuf_Type.tp_name == nullptr) {
        // What PyVarObject_HEAD_INIT would set: one reference, held by the module.
        Py_SET_REFCNT(reinterpret_cast<PyObject*>(&cMolvarBuf_Type), 1);
        Py_SET_REFCNT(reinterpret_cast<PyObject*>(&cMolvarState_Type), 1);

        cMolvarBuf_Type.tp_name = "cMolvar.cMolvarBuf";
        cMolvarBuf_Type.tp_basicsize = sizeof(cMolvarBuf);
        cMolvarBuf_Type.tp_dealloc = cMolvarBuf_dealloc;
        cMolvarBuf_Type.tp_getattro = cMolvarBuf_getattr;
        cMolvarBuf_Type.tp_flags = Py_TPFLAGS_DEFAULT;
        cMolvarBuf_Type.tp_methods = bufMethods;

        cMolvarState_Type.tp_name = "cMolvar.cMolvarState";
        cMolvarState_Type.tp_basicsize = sizeof(cMolvarState);
        cMolvarState_Type.tp_dealloc = cMolvarState_dealloc;
        cMolvarState_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        cMolvarState_Type.tp_traverse = molvar::cMolvarState_traverse;
        cMolvarState_Type.tp_clear = molvar::cMolvarState_clear;
    }
    return PyType_Ready(&cMolvarBuf_Type) < 0 || PyType_Ready(&cMolvarState_Type) < 0 ? -1 : 0;
}

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
        molvar::bindCompanionConverters(cMolvar_context, companion.get());
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
    if (readyTypes() < 0) {
        return -1;
    }
    if (cMolvar_context.bufType == nullptr) {
        cMolvar_context.bufType = &cMolvarBuf_Type;  // static: never released
        cMolvar_context.stateType = &cMolvarState_Type;
    }
    if (molvar::contextInit(cMolvar_context) < 0) {
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
    MOLVAR_GIL_NOT_USED
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
