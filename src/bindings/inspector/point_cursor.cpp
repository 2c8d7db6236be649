#include "bindings/inspector/point_cursor.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "bindings/call/converters.h"
#include "bindings/call/owned_ref.h"
#include "bindings/call/python_error.h"
#include "core/hashing/flat_id_map.h"
#include "storage/snapshot/point_stream.h"

namespace tavrik::bindings {
namespace {

constexpr const char* kCapsuleName = "tavrik_snapshot.points";

struct PointCursor {
  PointStream stream;
  std::optional<FlatIdMap<char>> wanted;
  Point point;  // the last point read; its vector is lent by the stream
  std::atomic<bool> busy{false};
};

void release_cursor(PyObject* capsule) {
  std::unique_ptr<PointCursor> owned(
      static_cast<PointCursor*>(PyCapsule_GetPointer(capsule, kCapsuleName)));
}

class BusyGuard {
 public:
  explicit BusyGuard(std::atomic<bool>& busy) : busy_(busy) {
    if (busy_.exchange(true, std::memory_order_acquire)) {
      raise(PyExc_RuntimeError, "the points are being read by another thread");
    }
  }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;
  ~BusyGuard() { busy_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool>& busy_;
};

FlatIdMap<char> wanted_ids(PyObject* ids) {
  FlatIdMap<char> wanted;
  OwnedRef iterator(checked(PyObject_GetIter(ids)));
  PyObject* item = nullptr;
  int status = 0;
  while ((status = PyIter_NextItem(iterator.get(), &item)) == 1) {
    OwnedRef owned(item);
    wanted.insert_or_assign(convert_u64(item), 0);
  }
  if (status < 0) throw PythonError{};
  return wanted;
}

OwnedRef text_object(const std::string& text) {
  return OwnedRef(checked(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

OwnedRef value_object(const PayloadValue& value) {
  if (const std::string* text = text_of(value)) return text_object(*text);
  if (const auto* integer = std::get_if<Integer>(&value)) {
    return OwnedRef(checked(PyLong_FromLongLong(integer->value)));
  }
  return OwnedRef(checked(PyFloat_FromDouble(std::get<Float>(value).value)));
}

OwnedRef payload_object(const Point& point) {
  if (!point.payload) return OwnedRef(Py_NewRef(Py_None));
  std::vector<const Payload::value_type*> entries;
  entries.reserve(point.payload->size());
  for (const auto& entry : *point.payload) entries.push_back(&entry);
  std::sort(entries.begin(), entries.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  OwnedRef dict(checked(PyDict_New()));
  for (const auto* entry : entries) {
    OwnedRef key = text_object(entry->first);
    OwnedRef value = value_object(entry->second);
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PythonError{};
  }
  return dict;
}

OwnedRef vector_object(const FloatArray& vector, bool raw) {
  if (raw) {
    return OwnedRef(checked(PyByteArray_FromStringAndSize(
        reinterpret_cast<const char*>(vector.data()),
        static_cast<Py_ssize_t>(vector.size() * sizeof(float)))));
  }
  OwnedRef list(checked(PyList_New(static_cast<Py_ssize_t>(vector.size()))));
  for (std::size_t i = 0; i < vector.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    checked(PyFloat_FromDouble(static_cast<double>(vector[i]))));
  }
  return list;
}

OwnedRef point_tuple(std::uint64_t key, const Point& point, bool raw) {
  OwnedRef id(checked(PyLong_FromUnsignedLongLong(key)));
  OwnedRef vector = vector_object(point.vector, raw);
  OwnedRef payload = payload_object(point);
  return OwnedRef(checked(PyTuple_Pack(3, id.get(), vector.get(), payload.get())));
}

}  // namespace

std::string convert_path(PyObject* path) {
  try {
    return convert_text(path);
  } catch (const PythonError&) {
    add_parameter_note("path");
    throw;
  }
}

PyObject* open_point_cursor(PyObject* path, PyObject* ids) {
  const std::string text = convert_path(path);
  auto cursor = std::make_unique<PointCursor>();
  if (ids != Py_None) {
    try {
      cursor->wanted = wanted_ids(ids);
    } catch (const PythonError&) {
      add_parameter_note("ids");
      throw;
    }
  }
  if (SnapshotStatus opened = cursor->stream.open(text); !opened.is_ok()) {
    raise(PyExc_OSError, opened.message());
  }
  PyObject* capsule = checked(PyCapsule_New(cursor.get(), kCapsuleName, release_cursor));
  cursor.release();  // the capsule owns it now
  return capsule;
}

PyObject* next_point_batch(PyObject* capsule, std::size_t count, bool raw_vectors) {
  auto* cursor = static_cast<PointCursor*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (cursor == nullptr) throw PythonError{};
  BusyGuard guard(cursor->busy);
  OwnedRef batch(checked(PyList_New(0)));
  std::uint64_t key = 0;
  while (static_cast<std::size_t>(PyList_GET_SIZE(batch.get())) < count &&
         cursor->stream.next(key, cursor->point)) {
    if (cursor->wanted && cursor->wanted->lookup(key) == nullptr) continue;
    OwnedRef item = point_tuple(key, cursor->point, raw_vectors);
    if (PyList_Append(batch.get(), item.get()) < 0) throw PythonError{};
  }
  return batch.release();
}

}  // namespace tavrik::bindings
