// The host interface this module is written against is CPython 3.15's. For
// older hosts this header provides exactly the 3.15 shapes of the calls and
// records the module uses, built on what those hosts have; which pieces are
// needed is decided by PY_VERSION_HEX, here and nowhere else. On 3.15 and
// later nothing below is defined: the host's own declarations are used.
//
//   from 3.12: PyErr_GetRaisedException, PyErr_SetRaisedException
//   from 3.14: PyIter_NextItem, the PyUnicodeWriter functions
//   from 3.15: PySlot and the slot ids the module uses, PyABIInfo,
//              PyType_FromSlots(PySlot*), PyMODEXPORT_FUNC, and a module
//              definition whose slots are a PySlot array (Py_mod_slots)
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

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

// --- Slots, the ABI record and the export hook (host has them from 3.15). -
#if PY_VERSION_HEX < 0x030F0000
typedef void (*_Py_funcptr_t)(void);

// One slot: an id and its value. Unlike PyType_Slot and PyModuleDef_Slot
// the same record serves classes and modules, and names, sizes and flags
// are slots too.
struct PySlot {
  uint16_t sl_id;
  uint16_t sl_flags;
  union {
    uint32_t sl_reserved;  // must be 0
  };
  union {
    void* sl_ptr;
    _Py_funcptr_t sl_func;
    Py_ssize_t sl_size;
    int64_t sl_int64;
    uint64_t sl_uint64;
  };
};

#define PySlot_OPTIONAL 0x0001
#define PySlot_STATIC 0x0002
#define PySlot_INTPTR 0x0004
#define PySlot_PTR(NAME, VALUE) {(NAME), PySlot_INTPTR, {0}, {(void*)(VALUE)}}
#define PySlot_PTR_STATIC(NAME, VALUE) \
  {(NAME), PySlot_INTPTR | PySlot_STATIC, {0}, {(void*)(VALUE)}}
#define PySlot_END {0, 0, {0}, {nullptr}}

// The ids that older hosts have no number for (3.15's numbers). The class
// and module ids they do have (Py_tp_doc, Py_mod_exec, ...) keep theirs.
#define Py_tp_name 95
#define Py_tp_basicsize 96
#define Py_tp_flags 99
#define Py_mod_name 100
#define Py_mod_doc 101
#define Py_mod_state_size 102
#define Py_mod_abi 109
#if PY_VERSION_HEX < 0x030D0000
#define Py_mod_gil 4
#define Py_MOD_GIL_USED ((void*)0)
#define Py_MOD_GIL_NOT_USED ((void*)1)
#endif

// What the module was built for. Older hosts do not read it.
typedef struct PyABIInfo {
  uint8_t abiinfo_major_version;
  uint8_t abiinfo_minor_version;
  uint16_t flags;
  uint32_t build_version;
  uint32_t abi_version;
} PyABIInfo;
#define PyABIInfo_GIL 0x0002
#define PyABIInfo_VAR(NAME) \
  static PyABIInfo NAME = {1, 0, PyABIInfo_GIL, PY_VERSION_HEX, PY_VERSION_HEX}

#define PyMODEXPORT_FUNC extern "C" Py_EXPORTED_SYMBOL PySlot*

// A class from one slot list: Py_tp_name, Py_tp_basicsize and Py_tp_flags
// become the PyType_Spec record's name, size and flags, and every other slot
// passes through as a PyType_Slot. A new reference,
// or nullptr with an error set.
static inline PyObject* PyType_FromSlots(PySlot* slots) {
  constexpr int kCapacity = 32;
  PyType_Slot converted[kCapacity + 1];
  PyType_Spec spec{nullptr, 0, 0, 0, converted};
  int count = 0;
  for (const PySlot* slot = slots; slot->sl_id != 0; ++slot) {
    switch (slot->sl_id) {
      case Py_tp_name: spec.name = static_cast<const char*>(slot->sl_ptr); break;
      case Py_tp_basicsize: spec.basicsize = static_cast<int>(slot->sl_size); break;
      case Py_tp_flags: spec.flags = static_cast<unsigned int>(slot->sl_uint64); break;
      default:
        if (count == kCapacity) {
          PyErr_SetString(PyExc_SystemError, "too many slots");
          return nullptr;
        }
        converted[count++] = PyType_Slot{slot->sl_id, slot->sl_ptr};
    }
  }
  converted[count] = PyType_Slot{0, nullptr};
  if (spec.name == nullptr) {
    PyErr_SetString(PyExc_SystemError, "Py_tp_name slot is missing");
    return nullptr;
  }
  return PyType_FromSpec(&spec);
}

// A module definition may carry its slots as a PySlot array, in a
// {Py_mod_slots, array} entry of its own slot list; the array's name,
// docstring and state size must then agree with the definition's fields.
// Older hosts know only PyModuleDef_Slot lists, so the first time a
// definition is initialised its list is rewritten into one (kept for the
// life of the process: the host holds on to the definition) and the ABI
// record, which those hosts do not read, is left out, as is the capability
// flag before 3.13.
#define Py_mod_slots 94

static inline PyModuleDef_Slot* tavrik_compat_expanded_slots(PyModuleDef* definition) {
  constexpr int kCapacity = 16;
  static PyModuleDef_Slot expanded[kCapacity + 1];
  int count = 0;
  auto add = [&](int id, void* value) {
    if (count == kCapacity) return false;
    expanded[count++] = PyModuleDef_Slot{id, value};
    return true;
  };
  for (PyModuleDef_Slot* entry = definition->m_slots; entry->slot != 0; ++entry) {
    if (entry->slot != Py_mod_slots) {
      if (!add(entry->slot, entry->value)) return nullptr;
      continue;
    }
    for (const PySlot* slot = static_cast<PySlot*>(entry->value); slot->sl_id != 0; ++slot) {
      switch (slot->sl_id) {
        case Py_mod_name:
        case Py_mod_doc: {
          const char* field = slot->sl_id == Py_mod_name ? definition->m_name : definition->m_doc;
          const char* value = static_cast<const char*>(slot->sl_ptr);
          if (field == nullptr || value == nullptr || std::string_view(field) != value) {
            return nullptr;
          }
          break;
        }
        case Py_mod_state_size:
          if (slot->sl_size != definition->m_size) return nullptr;
          break;
        case Py_mod_abi: break;
#if PY_VERSION_HEX < 0x030D0000
        case Py_mod_gil: break;  // every host before 3.13 has the lock
#endif
        default:
          if (!add(slot->sl_id, slot->sl_ptr)) return nullptr;
      }
    }
  }
  expanded[count] = PyModuleDef_Slot{0, nullptr};
  return expanded;
}

static inline PyObject* tavrik_compat_PyModuleDef_Init(PyModuleDef* definition) {
  static PyModuleDef_Slot* expanded = nullptr;
  if (definition->m_slots != expanded) {
    expanded = tavrik_compat_expanded_slots(definition);
    if (expanded == nullptr) {
      PyErr_Format(PyExc_SystemError, "module %s: its slots do not match its definition",
                   definition->m_name != nullptr ? definition->m_name : "?");
      return nullptr;
    }
    definition->m_slots = expanded;
  }
  return PyModuleDef_Init(definition);
}
#define PyModuleDef_Init tavrik_compat_PyModuleDef_Init
#endif
