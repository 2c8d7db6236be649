// The extension module `tavrik_snapshot._native`, the native half of the
// snapshot inspector package (src/tavrik_snapshot/).
//
// Defined, like `tavrik`, as one slot array (a name, a docstring, no
// per-module state, one exec step that adds the module's functions, the
// capability flag and the ABI record), which PyModExport__native returns
// as it is and the definition that PyInit__native returns carries, so both
// lead to the same module.
#include "bindings/compat/python_compat.h"

#include "bindings/inspector/inspector_functions.h"
#include "bindings/module/slot_module_definition.h"

namespace tavrik::bindings {
namespace {

int exec_module(PyObject* module) {
  return PyModule_AddFunctions(module, kInspectorFunctions);
}

constexpr char kName[] = "tavrik_snapshot._native";
constexpr char kDoc[] = "Reads tavrik snapshot files with the store's own decoder.";

PyABIInfo_VAR(kAbi);

PySlot kSlots[] = {
    PySlot_PTR_STATIC(Py_mod_name, kName),
    PySlot_PTR_STATIC(Py_mod_doc, kDoc),
    PySlot_PTR(Py_mod_state_size, 0),
    PySlot_PTR(Py_mod_exec, exec_module),
    // The functions share no state; a cursor refuses a second thread.
    PySlot_PTR(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    PySlot_PTR_STATIC(Py_mod_abi, &kAbi),
    PySlot_END,
};

SlotModuleDefinition kDefinition(kName, kDoc, kSlots);

}  // namespace
}  // namespace tavrik::bindings

PyMODINIT_FUNC PyInit__native(void) {
  return PyModuleDef_Init(&tavrik::bindings::kDefinition.definition);
}

PyMODEXPORT_FUNC PyModExport__native(void) { return tavrik::bindings::kSlots; }
