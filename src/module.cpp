// The extension module `tavrik`.
//
// The module is defined once, as a slot array: a name, a docstring, no
// per-module state, no functions, one exec step that adds the
// VectorStorage class and `__all__`, the capability flag and the ABI
// record. It leaves the shared object by exactly two entry points:
// PyModExport_tavrik returns the array itself (the slot-based export hook,
// which hosts that have it prefer), and PyInit_tavrik returns a multi-phase
// definition that carries the same array, so both lead to the same module.
#include "bindings/compat/python_compat.h"

#include "bindings/call/owned_ref.h"
#include "bindings/call/python_error.h"
#include "bindings/module/slot_module_definition.h"
#include "bindings/storage/docstrings.h"
#include "bindings/storage/py_vector_storage.h"

namespace tavrik::bindings {
namespace {

// The module's `__all__`: the existing list, or a new one stored on the
// module when it has none.
OwnedRef module_all(PyObject* module) {
  PyObject* existing = PyObject_GetAttrString(module, "__all__");
  if (existing == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    OwnedRef created(checked(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", created.get()) < 0) throw PythonError{};
    return created;
  }
  OwnedRef all(existing);
  if (!PyList_Check(existing)) raise_cast_error(existing, "list");
  return all;
}

int exec_module(PyObject* module) {
  try {
    if (!PyModule_Check(module)) {
      OwnedRef name(checked(PyType_GetQualName(&PyModule_Type)));
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
      if (utf8 == nullptr) throw PythonError{};
      raise_cast_error(module, std::string_view(utf8, static_cast<std::size_t>(size)));
    }
    PyObject* cls = vector_storage_class();
    OwnedRef all = module_all(module);
    OwnedRef entry(checked(PyUnicode_FromString("VectorStorage")));
    if (PyList_Append(all.get(), entry.get()) < 0) throw PythonError{};
    if (PyObject_SetAttrString(module, "VectorStorage", cls) < 0) throw PythonError{};
    return 0;
  } catch (const PythonError&) {
    return -1;
  }
}

constexpr char kName[] = "tavrik";

PyABIInfo_VAR(kAbi);

PySlot kSlots[] = {
    PySlot_PTR_STATIC(Py_mod_name, kName),
    PySlot_PTR_STATIC(Py_mod_doc, docs::kModule),
    PySlot_PTR(Py_mod_state_size, 0),
    PySlot_PTR(Py_mod_exec, exec_module),
    // The store guards itself (its own locks and an atomic borrow count),
    // and reads shared containers only under their critical sections, so it
    // can run without the global interpreter lock.
    PySlot_PTR(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    PySlot_PTR_STATIC(Py_mod_abi, &kAbi),
    PySlot_END,
};

SlotModuleDefinition kDefinition(kName, docs::kModule, kSlots);

}  // namespace
}  // namespace tavrik::bindings

PyMODINIT_FUNC PyInit_tavrik(void) {
  return PyModuleDef_Init(&tavrik::bindings::kDefinition.definition);
}

PyMODEXPORT_FUNC PyModExport_tavrik(void) { return tavrik::bindings::kSlots; }
