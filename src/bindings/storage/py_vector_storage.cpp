#include "bindings/storage/py_vector_storage.h"

#include <mutex>
#include <new>
#include <string_view>

#include "bindings/call/argument_binder.h"
#include "bindings/call/host_friendly_lock.h"
#include "bindings/call/owned_ref.h"
#include "bindings/call/python_error.h"
#include "bindings/storage/docstrings.h"

namespace tavrik::bindings {
namespace {

constexpr std::string_view kNoParameters[] = {""};
const Signature kNewSignature{"VectorStorage.__new__()", std::span(kNoParameters, 0), 0};

PyObject* vector_storage_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    if (PyTuple_GET_SIZE(args) > 0) {
      raise_too_many_positional(kNewSignature, PyTuple_GET_SIZE(args));
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
      Py_ssize_t position = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      PyDict_Next(kwargs, &position, &key, &value);
      raise_unexpected_keyword(kNewSignature, key);
    }
    OwnedRef no_args(checked(PyTuple_New(0)));
    PyObject* self = checked(PyBaseObject_Type.tp_new(type, no_args.get(), nullptr));
    auto* storage = reinterpret_cast<PyVectorStorage*>(self);
    new (&storage->segment) Segment();
    new (&storage->borrow_count) std::atomic<std::int64_t>(0);
    return self;
  } catch (const PythonError&) {
    return nullptr;
  }
}

void vector_storage_dealloc(PyObject* self) {
  auto* storage = reinterpret_cast<PyVectorStorage*>(self);
  storage->segment.~Segment();
  storage->borrow_count.~atomic();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    {"upsert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(upsert_method)),
     METH_FASTCALL | METH_KEYWORDS, docs::kUpsert},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_method)),
     METH_FASTCALL | METH_KEYWORDS, docs::kSearch},
    {"batch_search",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_search_method)),
     METH_FASTCALL | METH_KEYWORDS, docs::kBatchSearch},
    {"save", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(save_method)),
     METH_FASTCALL | METH_KEYWORDS, docs::kSave},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_method)),
     METH_FASTCALL | METH_KEYWORDS, docs::kLoad},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* create_class() {
  PySlot slots[] = {
      PySlot_PTR_STATIC(Py_tp_name, "builtins.VectorStorage"),
      PySlot_PTR(Py_tp_basicsize, sizeof(PyVectorStorage)),
      PySlot_PTR(Py_tp_flags, 0),
      PySlot_PTR_STATIC(Py_tp_doc, docs::kClass),
      PySlot_PTR(Py_tp_base, &PyBaseObject_Type),
      PySlot_PTR(Py_tp_dealloc, vector_storage_dealloc),
      PySlot_PTR(Py_tp_new, vector_storage_new),
      PySlot_PTR_STATIC(Py_tp_methods, kMethods),
      PySlot_END,
  };
  return PyType_FromSlots(slots);
}

}  // namespace

PyObject* vector_storage_class() {
  static std::mutex guard;
  static PyObject* cls = nullptr;
  // Another thread may be creating it: it runs Python code meanwhile.
  const std::unique_lock held = lock_letting_host_run(guard);
  if (cls == nullptr) {
    cls = create_class();
    if (cls == nullptr) {
      PyObject* cause = PyErr_GetRaisedException();
      PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class VectorStorage");
      PyObject* error = PyErr_GetRaisedException();
      PyException_SetCause(error, cause);  // steals `cause`
      PyErr_SetRaisedException(error);
      throw PythonError{};
    }
  }
  return cls;
}

}  // namespace tavrik::bindings
