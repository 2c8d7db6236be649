// A Python object reference owned by C++ code.
//
// OwnedRef holds one strong reference (or none) and releases it when it goes
// out of scope or is assigned over; release() hands the reference on. Only
// code that holds the interpreter may make, move or destroy one.
#pragma once

#include "bindings/compat/python_compat.h"

namespace tavrik::bindings {

class OwnedRef {
 public:
  OwnedRef() = default;
  explicit OwnedRef(PyObject* object) : object_(object) {}
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    PyObject* old = object_;
    object_ = other.release();
    Py_XDECREF(old);
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace tavrik::bindings
