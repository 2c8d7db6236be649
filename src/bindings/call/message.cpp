#include "bindings/call/message.h"

#include <string>

#include "bindings/call/python_error.h"

namespace tavrik::bindings {

Message::Message() : writer_(PyUnicodeWriter_Create(0)) {
  if (writer_ == nullptr) throw PythonError{};
}

Message::~Message() {
  if (writer_ != nullptr) PyUnicodeWriter_Discard(writer_);
}

Message& Message::operator<<(std::string_view text) {
  if (!failed_ && PyUnicodeWriter_WriteUTF8(writer_, text.data(),
                                            static_cast<Py_ssize_t>(text.size())) < 0) {
    failed_ = true;
  }
  return *this;
}

Message& Message::operator<<(long long number) { return *this << std::to_string(number); }

Message& Message::append_str(PyObject* object) {
  if (!failed_ && PyUnicodeWriter_WriteStr(writer_, object) < 0) failed_ = true;
  return *this;
}

PyObject* Message::finish() {
  if (failed_) throw PythonError{};
  PyUnicodeWriter* writer = writer_;
  writer_ = nullptr;
  return checked(PyUnicodeWriter_Finish(writer));
}

}  // namespace tavrik::bindings
