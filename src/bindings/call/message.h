// Builds the text of an error message as a str object.
#pragma once

#include "bindings/compat/python_compat.h"

#include <string_view>

namespace tavrik::bindings {

class Message {
 public:
  Message();
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
  ~Message();

  Message& operator<<(std::string_view text);
  Message& operator<<(long long number);
  // str(object), e.g. a keyword name as the caller wrote it.
  Message& append_str(PyObject* object);

  // The finished str (new reference); throws PythonError on failure.
  PyObject* finish();

 private:
  PyUnicodeWriter* writer_;
  bool failed_ = false;
};

}  // namespace tavrik::bindings
