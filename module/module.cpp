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
    if (errorClass != nullptr) {
        // The companion defines its converters before it imports cMolvar.
        Ref companion = Ref::steal(PyImport_ImportModule(COMPANION));
        if (!companion) {
            Py_DECREF(errorClass);
            return -1;
        }
        cMolvar_bindCompanionConverters(companion.get());
    } else {
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

int cMolvar_exec(PyObject* module)
{
    if (cMolvar_readyTypes() < 0) {
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

PyMODINIT_FUNC PyInit_cMolvar(void)
{
    return PyModuleDef_Init(&moduleDef);
}
