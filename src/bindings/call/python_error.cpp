#include "bindings/call/python_error.h"

#include "bindings/call/message.h"
#include "bindings/call/owned_ref.h"

namespace tavrik::bindings {

void raise(PyObject* type, std::string_view message) {
  Message text;
  text << message;
  raise(type, text);
}

void raise(PyObject* type, Message& message) {
  OwnedRef text(message.finish());
  PyErr_SetObject(type, text.get());
  throw PythonError{};
}

void raise_cast_error(PyObject* value, std::string_view expected) {
  Message message;
  if (value == Py_None) {
    message << "'None' is not an instance of '" << expected << "'";
  } else {
    OwnedRef type_name(checked(PyType_GetQualName(Py_TYPE(value))));
    message << "'";
    message.append_str(type_name.get());
    message << "' object is not an instance of '" << expected << "'";
  }
  raise(PyExc_TypeError, message);
}

void add_parameter_note(std::string_view parameter) {
  PyObject* exception = PyErr_GetRaisedException();
  if (exception == nullptr) return;
  try {
    OwnedRef note((Message() << "while processing '" << parameter << "'").finish());
    PyObject* call_args[] = {exception, note.get()};
    OwnedRef name(checked(PyUnicode_FromString("add_note")));
    OwnedRef result(PyObject_VectorcallMethod(
        name.get(), call_args, 2, nullptr));
    if (result.get() == nullptr) PyErr_Clear();
  } catch (const PythonError&) {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exception);
}

}  // namespace tavrik::bindings
