#include "bindings/call/float_buffer.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "bindings/call/converters.h"

namespace tavrik::bindings {
namespace {

// A type found once in an already imported module, kept (with its
// reference) for the life of the process.
struct KnownType {
  const char* module;
  const char* attribute;
  const char* full_name;  // the type's tp_name
  std::atomic<PyObject*> found{nullptr};
};

KnownType numpy_array{"numpy", "ndarray", "numpy.ndarray"};
KnownType std_array{"array", "array", "array.array"};

// Looks the type up without importing anything: a module that is not loaded
// has no instances to read. Any failure just means "not found".
PyObject* look_up(KnownType& known) {
  PyObject* name = PyUnicode_FromString(known.module);
  PyObject* module = name != nullptr ? PyImport_GetModule(name) : nullptr;
  Py_XDECREF(name);
  PyObject* type = module != nullptr ? PyObject_GetAttrString(module, known.attribute) : nullptr;
  Py_XDECREF(module);
  if (type == nullptr || !PyType_Check(type)) {
    Py_XDECREF(type);
    PyErr_Clear();
    return nullptr;
  }
  PyObject* expected = nullptr;
  if (!known.found.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
    Py_DECREF(type);  // another thread stored it first
    return expected;
  }
  return type;
}

// True when `type` is exactly `known` (never a subclass).
bool is_exactly(PyTypeObject* type, KnownType& known) {
  if (std::strcmp(type->tp_name, known.full_name) != 0) return false;
  PyObject* found = known.found.load(std::memory_order_acquire);
  if (found == nullptr) found = look_up(known);
  return found == reinterpret_cast<PyObject*>(type);
}

bool has_trusted_buffer(PyObject* value, bool two_dimensional) {
  PyTypeObject* type = Py_TYPE(value);
  if (type->tp_as_buffer == nullptr || type->tp_as_buffer->bf_getbuffer == nullptr) return false;
  if (two_dimensional) return is_exactly(type, numpy_array);  // rows are numpy arrays
  return type == &PyMemoryView_Type || is_exactly(type, numpy_array) ||
         is_exactly(type, std_array);
}

enum class Element { None, F32, F64 };

// 'f' or 'd' in native byte order and size; an explicit little-endian or
// native prefix is the same thing on a little-endian host.
Element element_of(const Py_buffer& view) {
  std::string_view format = view.format != nullptr ? view.format : "B";
  if (!format.empty() && (format[0] == '@' || format[0] == '=' ||
                          (format[0] == '<' && std::endian::native == std::endian::little))) {
    format.remove_prefix(1);
  }
  if (format == "f" && view.itemsize == sizeof(float)) return Element::F32;
  if (format == "d" && view.itemsize == sizeof(double)) return Element::F64;
  return Element::None;
}

// A float as the element path stores it: widened to a Python float and
// rounded back, which keeps every value and only quiets a signalling NaN.
float via_double(float value) {
  if (!std::isnan(value)) return value;
  return std::bit_cast<float>(std::bit_cast<std::uint32_t>(value) | 0x00400000u);
}

void read_row(const char* start, Py_ssize_t count, Py_ssize_t stride, Element element,
              std::vector<float>& out) {
  out.resize(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const char* at = start + i * stride;
    if (element == Element::F32) {
      float value = 0;
      std::memcpy(&value, at, sizeof value);
      out[static_cast<std::size_t>(i)] = via_double(value);
    } else {
      double value = 0;
      std::memcpy(&value, at, sizeof value);
      out[static_cast<std::size_t>(i)] = round_to_f32(value);
    }
  }
}

// Holds a buffer view and releases it on scope exit.
class BufferView {
 public:
  explicit BufferView(PyObject* value) {
    if (PyObject_GetBuffer(value, &view_, PyBUF_RECORDS_RO) == 0) {
      held_ = true;
    } else {
      PyErr_Clear();  // e.g. a released memoryview: iteration reports it
    }
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }

  // The element type when the view has `ndim` dimensions and plain strides.
  Element usable(int ndim) const {
    if (!held_ || view_.ndim != ndim || view_.shape == nullptr || view_.strides == nullptr ||
        view_.suboffsets != nullptr) {
      return Element::None;
    }
    return element_of(view_);
  }
  const Py_buffer& get() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace

std::optional<std::vector<float>> read_float_buffer(PyObject* value) {
  if (!has_trusted_buffer(value, false)) return std::nullopt;
  const BufferView view(value);
  const Element element = view.usable(1);
  if (element == Element::None) return std::nullopt;
  const Py_buffer& buffer = view.get();
  std::vector<float> floats;
  read_row(static_cast<const char*>(buffer.buf), buffer.shape[0], buffer.strides[0], element,
           floats);
  return floats;
}

std::optional<std::vector<std::vector<float>>> read_float_rows(PyObject* value) {
  if (!has_trusted_buffer(value, true)) return std::nullopt;
  const BufferView view(value);
  const Element element = view.usable(2);
  if (element == Element::None) return std::nullopt;
  const Py_buffer& buffer = view.get();
  std::vector<std::vector<float>> rows(static_cast<std::size_t>(buffer.shape[0]));
  const char* start = static_cast<const char*>(buffer.buf);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    read_row(start + static_cast<Py_ssize_t>(r) * buffer.strides[0], buffer.shape[1],
             buffer.strides[1], element, rows[r]);
  }
  return rows;
}

}  // namespace tavrik::bindings
