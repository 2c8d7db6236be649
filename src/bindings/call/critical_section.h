// CriticalSection: while it lives, no other thread changes `object`.
//
// A free-threaded host gives every container its own lock, and reading a
// list or dict through borrowed references is only safe while holding it.
// With the global interpreter lock the thread holds that already, so the
// guard does nothing. The section may be suspended by the host while the
// thread blocks (as when it raises), like the global lock itself.
#pragma once

#include "bindings/compat/python_compat.h"

namespace tavrik::bindings {

class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* object) { PyCriticalSection_Begin(&section_, object); }
  ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
  explicit CriticalSection(PyObject*) {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection section_;
#endif
};

}  // namespace tavrik::bindings
