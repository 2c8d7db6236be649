// The extension module `tavrik_snapshot._native`, the native half of the
// snapshot inspector package (src/tavrik_snapshot/).
//
// Exports two entry points: PyInit__native for multi-phase initialisation
// and PyModExport__native for hosts with the slot-based export hook. Both
// lead to the same module: a name, a docstring, no per-module state, and
// one exec step that adds the module's functions.
#include "bindings/compat/python_compat.h"

#include "bindings/inspector/inspector_functions.h"

namespace tavrik::bindings {
namespace {

int exec_module(PyObject* module) {
  return PyModule_AddFunctions(module, kInspectorFunctions);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    // The functions share no state; a cursor refuses a second thread.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    "tavrik_snapshot._native",
    "Reads tavrik snapshot files with the store's own decoder.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tavrik::bindings

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&tavrik::bindings::kDefinition); }

PyMODEXPORT_FUNC PyModExport__native(void) { return tavrik::bindings::kSlots; }
