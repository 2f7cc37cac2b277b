// Entry point, function table, type objects and the error class.
//
// The module uses multi-phase initialisation so that it is in sys.modules
// before its exec step imports the companion, which imports cMolvar in
// turn: either import order then yields one module and one MolvarError.
#include "module/module.h"

#include "codec/buffer.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/state.h"
#include "module/ref.h"

using molvar::Ref;

PyObject* cMolvar_module = nullptr;
PyObject* cMolvar_moduleDict = nullptr;
PyObject* cMolvar_errorClass = nullptr;

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

PyMethodDef bufMethods[] = {
    {"write", cMolvarBuf_write, METH_VARARGS, nullptr},
    {"clear", cMolvarBuf_clear, METH_NOARGS, nullptr},
    {"get", cMolvarBuf_get, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Returns a new reference to `attrName` of module `moduleName` (a dotted
// path), or null with the exception set.
PyObject* cMolvar_importAttr(const char* moduleName, const char* attrName)
{
    Ref fromList = Ref::steal(Py_BuildValue("[s]", attrName));
    if (!fromList) {
        return nullptr;
    }
    // A non-empty from-list makes the import return the innermost module.
    Ref module = Ref::steal(PyImport_ImportModuleEx(moduleName, nullptr, nullptr, fromList.get()));
    if (!module) {
        return nullptr;
    }
    return PyObject_GetAttrString(module.get(), attrName);
}

// Binds MolvarError: the companion's class, or a local one when the
// companion cannot provide it (its traceback is printed once).
int bindErrorClass()
{
    PyObject* errorClass = cMolvar_importAttr(COMPANION, "MolvarError");
    if (errorClass == nullptr) {
        // Interrupts and exits are not import failures to paper over.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return -1;
        }
        PyErr_Print();
        errorClass = PyErr_NewException("cMolvar.MolvarError", nullptr, nullptr);
        if (errorClass == nullptr) {
            return -1;
        }
    }
    Py_XSETREF(cMolvar_errorClass, errorClass);
    return PyDict_SetItemString(cMolvar_moduleDict, "MolvarError", cMolvar_errorClass);
}

void initTypes()
{
    if (cMolvarBuf_Type.tp_name != nullptr) {
        return;  // a second module object shares the static types
    }
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
    cMolvarState_Type.tp_flags = Py_TPFLAGS_DEFAULT;
}

int cMolvar_exec(PyObject* module)
{
    initTypes();
    if (PyType_Ready(&cMolvarBuf_Type) < 0 || PyType_Ready(&cMolvarState_Type) < 0) {
        return -1;
    }
    Py_INCREF(module);
    Py_XSETREF(cMolvar_module, module);
    PyObject* dict = PyModule_GetDict(module);
    if (dict == nullptr) {
        return -1;
    }
    Py_INCREF(dict);
    Py_XSETREF(cMolvar_moduleDict, dict);
    return bindErrorClass();
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(cMolvar_exec)},
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

// Static types, filled in by initTypes (the slots not set there stay 0).
PyTypeObject cMolvarBuf_Type{};
PyTypeObject cMolvarState_Type{};

PyMODINIT_FUNC PyInit_cMolvar(void)
{
    return PyModuleDef_Init(&moduleDef);
}
