// How the binding layer reports Python errors internally.
//
// A converter that fails leaves the Python error indicator set and throws
// PythonError; the method's outer frame catches it and returns NULL to the
// host. Only the binding layer raises Python exceptions.
#pragma once

#include "bindings/compat/python_compat.h"

#include <string_view>

namespace tavrik::bindings {

// The Python error indicator is set; unwind to the method frame.
struct PythonError {};

// Throws PythonError if the host reported a failure (NULL result).
inline PyObject* checked(PyObject* result) {
  if (result == nullptr) throw PythonError{};
  return result;
}

class Message;

// Raises `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, std::string_view message);
// The same with the text built so far in `message`, which is consumed.
[[noreturn]] void raise(PyObject* type, Message& message);

// The type-mismatch error of every converter, a TypeError:
//   "'int' object is not an instance of 'str'"
//   "'None' is not an instance of 'str'"
[[noreturn]] void raise_cast_error(PyObject* value, std::string_view expected);

// Adds "while processing '<parameter>'" to the pending exception through its
// add_note method. The exception stays pending.
void add_parameter_note(std::string_view parameter);

}  // namespace tavrik::bindings
