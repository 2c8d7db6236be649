#include "bindings/call/converters.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/call/critical_section.h"
#include "bindings/call/float_buffer.h"
#include "bindings/call/owned_ref.h"
#include "bindings/call/python_error.h"
#include "core/fault.h"

namespace tavrik::bindings {
namespace {

// A reported length only sizes the first reservation; longer inputs grow as
// their elements arrive, so a lying or huge __len__ cannot exhaust memory.
constexpr Py_ssize_t kMaxReservation = 1 << 16;

// Values at or beyond this magnitude round to infinity in f32: it is the
// midpoint between the largest finite f32 and 2^128, and ties go to the
// even neighbour, which is infinity.
constexpr double kF32Overflow = 0x1.ffffffp127;

std::string_view utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) throw PythonError{};
  return {utf8, static_cast<std::size_t>(size)};
}

// What a cast error names when collections.abc.Sequence is not at hand.
constexpr std::string_view kSequenceName = "Sequence";

PyObject* look_up_sequence() {
  OwnedRef name(checked(PyUnicode_FromString("collections.abc")));
  OwnedRef module(checked(PyImport_Import(name.get())));
  return checked(PyObject_GetAttrString(module.get(), "Sequence"));
}

// Marks this thread as inside the lookup for as long as it lives.
class LookupUnderWay {
 public:
  explicit LookupUnderWay(bool& flag) : flag_(flag) { flag_ = true; }
  LookupUnderWay(const LookupUnderWay&) = delete;
  LookupUnderWay& operator=(const LookupUnderWay&) = delete;
  ~LookupUnderWay() { flag_ = false; }

 private:
  bool& flag_;
};

// The host's collections.abc.Sequence, for cast errors: looked up on first
// need and kept for the life of the process. nullptr while this thread is
// already looking it up, or when the object found is not a class (nothing
// is kept then); such cast errors name kSequenceName instead.
//
// No native lock guards the lookup: it runs Python code (an import, an
// attribute read), which may release the interpreter lock, raise this very
// cast error again, or be under way in another thread when the process
// forks. The cache is only read and written under the interpreter lock;
// threads that look up at the same time each do their own lookup and the
// first one to finish is kept.
PyObject* sequence_class() {
  static PyObject* sequence = nullptr;  // guarded by the interpreter lock
  thread_local bool looking_up = false;
  if (sequence != nullptr || looking_up) return sequence;
  OwnedRef found;
  {
    const LookupUnderWay under_way(looking_up);
    found = OwnedRef(look_up_sequence());
  }
  if (!PyType_Check(found.get())) return nullptr;
  if (sequence == nullptr) sequence = found.release();
  return sequence;
}

[[noreturn]] void raise_not_a_sequence(PyObject* value) {
  PyObject* sequence = sequence_class();
  if (sequence == nullptr) raise_cast_error(value, kSequenceName);
  OwnedRef name(checked(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(sequence))));
  raise_cast_error(value, utf8_of(name.get()));
}

// The outer rules shared by vectors and lists of vectors: no str, only
// sequences; returns a new iterator and the capped capacity hint.
void check_sequence(PyObject* value) {
  if (PyUnicode_Check(value)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(value)) raise_not_a_sequence(value);
}

std::pair<OwnedRef, std::size_t> open_sequence(PyObject* value) {
  check_sequence(value);
  Py_ssize_t hint = PyObject_Size(value);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  OwnedRef iterator(checked(PyObject_GetIter(value)));
  return {std::move(iterator), static_cast<std::size_t>(std::min(hint, kMaxReservation))};
}

// Calls `each` with every item the iterator yields (a borrowed reference).
template <class Each>
void for_each_item(PyObject* iterator, Each&& each) {
  for (;;) {
    PyObject* raw = nullptr;
    const int status = PyIter_NextItem(iterator, &raw);
    if (status < 0) throw PythonError{};
    if (status == 0) return;
    OwnedRef item(raw);
    each(item.get());
  }
}

float to_f32(PyObject* item) {
  if (PyFloat_CheckExact(item)) return round_to_f32(PyFloat_AS_DOUBLE(item));
  const double value = PyFloat_AsDouble(item);
  if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
  return round_to_f32(value);
}

// items[0..size) into `floats` (empty before) when each is an exact float
// or int; false, with `floats` cleared, at the first of any other type.
bool read_numbers(PyObject* const* items, Py_ssize_t size, std::vector<float>& floats) {
  // The size is the container's real one (it cannot change meanwhile).
  floats.resize(static_cast<std::size_t>(size));
  float* out = floats.data();
  // The items lie wherever they were made, often far from the cache (a
  // query list made long before): each is requested a few items ahead.
  constexpr Py_ssize_t kAhead = 16;
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (i + kAhead < size) __builtin_prefetch(items[i + kAhead]);
    PyObject* item = items[i];
    if (!PyFloat_CheckExact(item) && !PyLong_CheckExact(item)) {
      floats.clear();
      return false;
    }
    out[i] = to_f32(item);
  }
  return true;
}

// The items of an exact list or tuple read in place, into `floats`, when
// every one is an exact float or int: converting those runs no Python code,
// so nothing can change the container meanwhile (on a free-threaded host
// the list is also held against other threads). False, with `floats`
// cleared, at the first item of any other type; the caller then converts
// the whole container through its iterator, which gives the same values
// and errors, only with an iterator object and a reference per item.
bool read_numbers_in_place(PyObject* value, std::vector<float>& floats) {
  if (PyTuple_CheckExact(value)) {
    return read_numbers(PySequence_Fast_ITEMS(value), PyTuple_GET_SIZE(value), floats);
  }
  if (!PyList_CheckExact(value)) return false;
  const CriticalSection held(value);
  return read_numbers(PySequence_Fast_ITEMS(value), PyList_GET_SIZE(value), floats);
}

// The payload value `value` converts to; nullopt for a type payloads leave out.
std::optional<PayloadValue> to_payload_value(PyObject* value) {
  if (PyUnicode_Check(value)) return text_value(std::string(utf8_of(value)));
  if (PyLong_Check(value)) {
    const long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred()) throw PythonError{};
    return Integer{number};
  }
  if (PyFloat_Check(value)) {
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) throw PythonError{};
    return Float{number};
  }
  return std::nullopt;
}

}  // namespace

float round_to_f32(double value) {
  if (std::fabs(value) >= kF32Overflow) return std::signbit(value) ? -INFINITY : INFINITY;
  return static_cast<float>(value);
}

std::string convert_text(PyObject* value) {
  if (!PyUnicode_Check(value)) raise_cast_error(value, "str");
  return std::string(utf8_of(value));
}

std::uint64_t convert_u64(PyObject* value) {
  OwnedRef index;
  if (!PyLong_Check(value)) {
    index = OwnedRef(checked(PyNumber_Index(value)));
    value = index.get();
  }
  const unsigned long long number = PyLong_AsUnsignedLongLong(value);
  if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return number;
}

std::vector<float> convert_f32_sequence(PyObject* value) {
  // The refusals come first: an object with a float buffer that is not a
  // sequence is still refused.
  check_sequence(value);
  if (std::optional<std::vector<float>> read = read_float_buffer(value)) return std::move(*read);
  std::vector<float> floats;
  if (read_numbers_in_place(value, floats)) return floats;
  auto [iterator, hint] = open_sequence(value);
  floats.reserve(hint);
  for_each_item(iterator.get(), [&](PyObject* item) { floats.push_back(to_f32(item)); });
  return floats;
}

std::vector<std::vector<float>> convert_f32_sequences(PyObject* value) {
  check_sequence(value);
  if (std::optional<std::vector<std::vector<float>>> rows = read_float_rows(value)) {
    return std::move(*rows);
  }
  auto [iterator, hint] = open_sequence(value);
  std::vector<std::vector<float>> sequences;
  sequences.reserve(hint);
  for_each_item(iterator.get(),
                [&](PyObject* item) { sequences.push_back(convert_f32_sequence(item)); });
  return sequences;
}

std::optional<Payload> convert_payload(PyObject* value) {
  if (value == Py_None) return std::nullopt;
  if (!PyDict_Check(value)) {
    try {
      raise_cast_error(value, "dict");
    } catch (const PythonError&) {
      add_parameter_note("payload");
      throw;
    }
  }
  Payload payload;
  // Its entries are read through borrowed references.
  CriticalSection dict_held(value);
  const Py_ssize_t start_size = PyDict_GET_SIZE(value);
  Py_ssize_t position = 0;
  Py_ssize_t taken = 0;
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  for (;;) {
    if (PyDict_GET_SIZE(value) != start_size) {
      internal_fault("dictionary changed size during iteration");
    }
    if (!PyDict_Next(value, &position, &key, &item)) break;
    if (++taken > start_size) internal_fault("dictionary keys changed during iteration");
    if (!PyUnicode_Check(key)) raise_cast_error(key, "str");
    std::string text(utf8_of(key));
    if (std::optional<PayloadValue> converted = to_payload_value(item)) {
      payload.insert_or_assign(std::move(text), std::move(*converted));
    }
  }
  return payload;
}

}  // namespace tavrik::bindings
