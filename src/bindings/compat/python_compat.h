// The few host calls this module is written against that older Pythons
// (3.11 to 3.13) lack, provided here from what the module expects of them.
// Where the host has the real call (by PY_VERSION_HEX), the real one is used
// and nothing here is defined.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <string>

// --- Raised exceptions as single objects (host has them from 3.12). -------
#if PY_VERSION_HEX < 0x030C0000
static inline PyObject* PyErr_GetRaisedException(void) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}

static inline void PyErr_SetRaisedException(PyObject* exception) {
  if (exception == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  PyObject* traceback = PyException_GetTraceback(exception);
  PyErr_Restore(type, exception, traceback);
}
#endif

// --- Iteration with an explicit end signal (host has it from 3.14). -------
#if PY_VERSION_HEX < 0x030E0000
// 1 and a new reference in *item; 0 at the end; -1 with an error set.
static inline int PyIter_NextItem(PyObject* iterator, PyObject** item) {
  *item = PyIter_Next(iterator);
  if (*item != nullptr) return 1;
  return PyErr_Occurred() ? -1 : 0;
}
#endif

// --- Building str objects piece by piece (host has it from 3.14). ---------
#if PY_VERSION_HEX < 0x030E0000
struct PyUnicodeWriter {
  std::string utf8;
};

static inline PyUnicodeWriter* PyUnicodeWriter_Create(Py_ssize_t length) {
  auto writer = std::make_unique<PyUnicodeWriter>();
  if (length > 0) writer->utf8.reserve(static_cast<std::size_t>(length));
  return writer.release();
}

static inline void PyUnicodeWriter_Discard(PyUnicodeWriter* writer) {
  std::unique_ptr<PyUnicodeWriter> owned(writer);
}

static inline int PyUnicodeWriter_WriteUTF8(PyUnicodeWriter* writer, const char* text,
                                            Py_ssize_t size) {
  if (size < 0) size = static_cast<Py_ssize_t>(std::char_traits<char>::length(text));
  writer->utf8.append(text, static_cast<std::size_t>(size));
  return 0;
}

// Writes str(object).
static inline int PyUnicodeWriter_WriteStr(PyUnicodeWriter* writer, PyObject* object) {
  PyObject* text = PyObject_Str(object);
  if (text == nullptr) return -1;
  PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass");
  Py_DECREF(text);
  if (bytes == nullptr) return -1;
  writer->utf8.append(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  Py_DECREF(bytes);
  return 0;
}

static inline PyObject* PyUnicodeWriter_Finish(PyUnicodeWriter* writer) {
  std::unique_ptr<PyUnicodeWriter> owned(writer);
  return PyUnicode_DecodeUTF8(owned->utf8.data(), static_cast<Py_ssize_t>(owned->utf8.size()),
                              "surrogatepass");
}
#endif

// --- Classes from a bare slot list (not in any host we build for yet). ----
#if PY_VERSION_HEX < 0x030F0000
static inline PyObject* PyType_FromSlots(const char* name, unsigned int flags,
                                         PyType_Slot* slots, Py_ssize_t basicsize) {
  PyType_Spec spec{name, static_cast<int>(basicsize), 0, flags, slots};
  return PyType_FromSpec(&spec);
}
#endif

// --- The slot-based module export hook. -----------------------------------
#ifndef PyMODEXPORT_FUNC
#define PyMODEXPORT_FUNC extern "C" Py_EXPORTED_SYMBOL PyModuleDef_Slot*
#endif
