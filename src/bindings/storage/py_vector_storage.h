// PyVectorStorage: the instance layout of the VectorStorage class.
//
// After the object header: the Segment, owned inline, then the borrow
// counter (number of method calls in flight, updated atomically). Nothing
// else: no attribute dictionary, no weak references, no references to other
// Python objects, hence no garbage-collection support.
#pragma once

#include "bindings/compat/python_compat.h"

#include <atomic>
#include <cstdint>

#include "storage/segment/segment.h"

namespace tavrik::bindings {

struct PyVectorStorage {
  PyObject_HEAD
  Segment segment;
  std::atomic<std::int64_t> borrow_count;
};

// The class object, created on first use and kept for the life of the
// process. Throws PythonError (with RuntimeError set) if creation fails.
PyObject* vector_storage_class();

// The five methods, each a METH_FASTCALL | METH_KEYWORDS function.
PyObject* upsert_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames);
PyObject* search_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames);
PyObject* batch_search_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);
PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames);
PyObject* load_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames);

}  // namespace tavrik::bindings
