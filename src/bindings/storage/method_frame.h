// The frame every VectorStorage method runs in:
//   1. bind the arguments (binding errors raise before anything else);
//   2. take the object in shared mode (the borrow counter);
//   3. convert the arguments in parameter order, the first failure raising
//      with a note naming the parameter;
//   4. call one Segment operation; 5. build the result;
//   6. release the borrow on every exit path.
// Core work runs where exceptions cannot escape: an allocation failure in
// the store is an internal fault that ends the process, never a half-done
// update.
#pragma once

#include "bindings/compat/python_compat.h"

#include <array>
#include <new>
#include <span>
#include <stdexcept>

#include "bindings/call/argument_binder.h"
#include "bindings/call/python_error.h"
#include "bindings/storage/py_vector_storage.h"

namespace tavrik::bindings {

// Holds the object in shared mode for the duration of one call.
class SharedBorrow {
 public:
  explicit SharedBorrow(PyVectorStorage& storage) : count_(storage.borrow_count) {
    std::int64_t seen = count_.load(std::memory_order_relaxed);
    while (!count_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
    }
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { count_.fetch_sub(1, std::memory_order_release); }

 private:
  std::atomic<std::int64_t>& count_;
};

template <std::size_t N, class Body>
PyObject* run_method(PyObject* self, const Signature& signature, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames, Body&& body) {
  try {
    std::array<PyObject*, N> bound{};
    bind_arguments(signature, args, nargsf, kwnames, bound);
    auto& storage = *reinterpret_cast<PyVectorStorage*>(self);
    SharedBorrow borrow(storage);
    return body(storage.segment, bound);
  } catch (const PythonError&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    // Only argument conversion gets here: the store's own work cannot throw.
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A size no container can hold (a buffer of 2**60 rows): out of memory
    // as well, never an exception crossing into the interpreter.
    return PyErr_NoMemory();
  }
}

// Converts one argument; a failure gets the note "while processing '<name>'".
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) {
  try {
    return convert();
  } catch (const PythonError&) {
    add_parameter_note(name);
    throw;
  }
}

// Runs a Segment operation; an exception thrown out of it (an allocation
// failure inside the store) ends the process instead of unwinding a
// half-done update.
template <class Work>
auto run_or_abort(Work&& work) noexcept {
  return work();
}

}  // namespace tavrik::bindings
