// Binding a vectorcall's arguments to a method's parameter list.
//
// Every parameter may be given by position or by keyword; required ones come
// first. Checks run in this order, each raising TypeError:
//   1. too many positional arguments (before any keyword is looked at):
//        "VectorStorage.save() takes 1 positional arguments but 2 were given"
//        "VectorStorage.search() takes from 3 to 4 positional arguments but 5 were given"
//   2. keywords one by one in call order, matched by exact UTF-8 text:
//        "... got an unexpected keyword argument 'x'"
//        "... got multiple values for argument 'limit'"
//   3. all required parameters still unfilled, in one message:
//        "... missing 1 required positional argument: 'a'"
//        "... missing 2 required positional arguments: 'a' and 'b'"
//        "... missing 3 required positional arguments: 'a', 'b', and 'c'"
#pragma once

#include "bindings/compat/python_compat.h"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace tavrik::bindings {

struct Signature {
  std::string_view full_name;                 // "VectorStorage.search()"
  std::span<const std::string_view> parameters;
  std::size_t required;                       // the first `required` parameters
};

// Fills `bound` (one slot per parameter) with borrowed references, nullptr
// where an optional parameter was not given. Throws PythonError on failure.
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, std::span<PyObject*> bound);

// The positional-count error alone, for constructors that take nothing.
[[noreturn]] void raise_too_many_positional(const Signature& signature, Py_ssize_t given);
[[noreturn]] void raise_unexpected_keyword(const Signature& signature, PyObject* keyword);

}  // namespace tavrik::bindings
