#include "bindings/call/argument_binder.h"

#include <string>
#include <vector>

#include "bindings/call/message.h"
#include "bindings/call/python_error.h"

namespace tavrik::bindings {
namespace {

// The parameter a keyword names, or -1.
Py_ssize_t find_parameter(const Signature& signature, PyObject* keyword) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();  // not encodable, so it names no parameter
    return -1;
  }
  const std::string_view text(utf8, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (signature.parameters[i] == text) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

[[noreturn]] void raise_missing(const Signature& signature, std::span<PyObject*> bound) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (bound[i] == nullptr) missing.push_back(signature.parameters[i]);
  }
  Message message;
  message << signature.full_name << " missing " << static_cast<long long>(missing.size())
          << " required positional " << (missing.size() == 1 ? "argument" : "arguments")
          << ": ";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) message << (missing.size() > 2 ? ", " : " ");
    if (i > 0 && i + 1 == missing.size()) message << "and ";
    message << "'" << missing[i] << "'";
  }
  raise(PyExc_TypeError, message);
}

}  // namespace

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  Message message;
  message << signature.full_name << " takes ";
  if (signature.required < signature.parameters.size()) {
    message << "from " << static_cast<long long>(signature.required) << " to ";
  }
  message << static_cast<long long>(signature.parameters.size())
          << " positional arguments but " << static_cast<long long>(given)
          << (given == 1 ? " was" : " were") << " given";
  raise(PyExc_TypeError, message);
}

void raise_unexpected_keyword(const Signature& signature, PyObject* keyword) {
  Message message;
  message << signature.full_name << " got an unexpected keyword argument '";
  message.append_str(keyword);
  message << "'";
  raise(PyExc_TypeError, message);
}

void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, std::span<PyObject*> bound) {
  const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  const auto parameter_count = static_cast<Py_ssize_t>(signature.parameters.size());
  if (positional > parameter_count) raise_too_many_positional(signature, positional);
  for (std::size_t i = 0; i < bound.size(); ++i) bound[i] = nullptr;
  for (Py_ssize_t i = 0; i < positional; ++i) bound[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t index = find_parameter(signature, keyword);
    if (index < 0) raise_unexpected_keyword(signature, keyword);
    PyObject*& slot = bound[static_cast<std::size_t>(index)];
    if (slot != nullptr) {
      Message message;
      message << signature.full_name << " got multiple values for argument '"
              << signature.parameters[static_cast<std::size_t>(index)] << "'";
      raise(PyExc_TypeError, message);
    }
    slot = args[positional + k];
  }

  for (std::size_t i = 0; i < signature.required; ++i) {
    if (bound[i] == nullptr) raise_missing(signature, bound);
  }
}

}  // namespace tavrik::bindings
