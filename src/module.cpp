// The extension module `tavrik`.
//
// Exports two entry points: PyInit_tavrik for multi-phase initialisation and
// PyModExport_tavrik for hosts with the slot-based export hook. Both lead to
// the same module: a name, a docstring, no per-module state, no functions,
// and one exec step that adds the VectorStorage class and `__all__`.
#include "bindings/compat/python_compat.h"

#include "bindings/call/python_error.h"
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

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    // The store guards itself (its own locks and an atomic borrow count), so
    // it can run without the global interpreter lock.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    "tavrik",
    docs::kModule,
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tavrik::bindings

PyMODINIT_FUNC PyInit_tavrik(void) { return PyModuleDef_Init(&tavrik::bindings::kDefinition); }

PyMODEXPORT_FUNC PyModExport_tavrik(void) { return tavrik::bindings::kSlots; }
