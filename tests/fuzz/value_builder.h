// Python values built from the fuzz bytes, for the argument fuzzer.
//
// A value is read as: tag byte % kTagCount, then:
//     0 None                          1 bool: byte
//     2 int: n byte (1 + n % 16 bytes), sign byte, big-endian magnitude
//     3 float: 8 raw little-endian bytes        4 float: table byte
//     5 int: table byte
//     6 str: n byte, n bytes decoded as UTF-8 with surrogatepass (Latin-1
//       when that fails)
//     7 bytes: n byte, bytes          8 list / 9 tuple: n byte (n % 9), values
//    10 dict / 11 dict subclass: n byte (n % 9), then n times key, value;
//       key: byte, odd -> str as in 6, even -> any value
//    12 str subclass: as 6
//    13 object with __index__ and __float__: answer, answer
//    14 object with __index__ only: answer   15 with __float__ only: answer
//    16 sequence whose __len__ lies: answer (the length), n byte, values,
//       fail byte (__getitem__ raises at that index when < n)
//    17 list subclass whose __len__ lies: answer, n byte, values
//    18 metric name: table byte        19 re-entrant object: action byte
//    20 int subclass: value (converted with int(); 0 when that fails)
//    21 float subclass: 8 raw bytes
//    22 other: kind byte % 8 (set, frozenset, generator, object, small range,
//       bytearray, memoryview of bytes, buffer) then per kind; buffer: kind,
//       type code, step, rows bytes, n byte, n raw bytes (see make_buffer)
//    23 str around the 64-byte keyword limit: table byte
//
//   answer (what __index__/__float__/__len__ do): byte % 4:
//     0 return a value   1 return an int from the table (byte)
//     2 raise the exception class of the table (byte)   3 return a float (8 bytes)
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/call/owned_ref.h"
#include "bindings/call/python_error.h"
#include "fuzz_support.h"

namespace argument_fuzz {

using tavrik::bindings::OwnedRef;

inline constexpr int kTagCount = 24;
inline constexpr int kMaxDepth = 4;

// ---------------------------------------------------------------------------
// Reading the fuzz bytes.

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
  std::string_view take(std::size_t n) {
    n = std::min(n, size_ - std::min(position_, size_));
    std::string_view out(reinterpret_cast<const char*>(data_) + position_, n);
    position_ += n;
    return out;
  }
  double raw_double() {
    std::uint8_t raw[8] = {};
    for (auto& b : raw) b = byte();
    double value = 0;
    std::memcpy(&value, raw, sizeof value);
    return value;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// ---------------------------------------------------------------------------
// Building Python values.

// Objects created fresh for one operation, each kept alive by an extra
// reference so that their counts can be compared after the operation.
struct Tracked {
  std::vector<OwnedRef> kept;
  std::vector<Py_ssize_t> counts;
  bool reentrant = false;

  void note(PyObject* object) {
    if (Py_REFCNT(object) != 1) return;  // shared singletons: small ints, short strs
    kept.emplace_back(Py_NewRef(object));
  }
  void record() {
    counts.clear();
    for (const auto& ref : kept) counts.push_back(Py_REFCNT(ref.get()));
  }
  bool unchanged(bool report = false) const {
    bool same = true;
    for (std::size_t i = 0; i < kept.size(); ++i) {
      if (Py_REFCNT(kept[i].get()) == counts[i]) continue;
      same = false;
      if (report) {
        std::fprintf(stderr, "reference count of a '%s' went from %zd to %zd: ",
                     Py_TYPE(kept[i].get())->tp_name, counts[i], Py_REFCNT(kept[i].get()));
        PyObject_Print(kept[i].get(), stderr, 0);
        std::fputc('\n', stderr);
      }
    }
    return same;
  }
};

inline const double kFloats[] = {0.0,     -0.0,    1.0,    -1.0,   0.5,     NAN,    -NAN,
                          INFINITY, -INFINITY, 1e39, -1e39, 3.4028235e38, 1e-45, 1e-310,
                          9.223372036854775808e18, 1.8446744073709551616e19, 0.1, 2.0};
inline const char* const kInts[] = {"0", "1", "-1", "2", "255", "256", "257", "-5", "-6",
                             "4294967295", "4294967296", "9223372036854775807",
                             "9223372036854775808", "-9223372036854775808",
                             "-9223372036854775809", "18446744073709551615",
                             "18446744073709551616", "340282366920938463463374607431768211456",
                             "3", "10", "500", "1000"};
inline const char* const kMetrics[] = {"cosine", "COSINE", "Dot", "dot", "dot_product", "DOT_PRODUCT",
                                "l2", "L2", "euclidean", "Euclidean", "manhattan", " cosine",
                                "dot-product", "", "\xe2\x84\xaa", "cos\xc3\xafne", "l2 ",
                                "\xc4\xb0"};
inline const char* const kTenants[] = {"a", "b", "c", ""};

class Builder {
 public:
  Builder(Bytes& in, Tracked& tracked) : in_(in), tracked_(tracked) {}

  // A new reference to a value built from the bytes.
  OwnedRef value(int depth = 0) {
    const int tag = in_.byte() % kTagCount;
    OwnedRef made = make(tag, depth);
    if (made.get() == nullptr) {
      PyErr_Clear();
      made = OwnedRef(Py_NewRef(Py_None));
    }
    tracked_.note(made.get());
    return made;
  }

  // Biased towards what the methods accept, so that calls get past conversion.
  OwnedRef vector_like(int depth = 1) {
    const std::uint8_t choice = in_.byte();
    if (choice >= 96) return value(depth);
    const int n = choice % 6;
    OwnedRef list(must(PyList_New(n), "list"));
    for (int i = 0; i < n; ++i) {
      const std::uint8_t b = in_.byte();
      PyObject* item = b < 200 ? PyFloat_FromDouble(static_cast<double>(b % 17) - 8.0)
                               : PyFloat_FromDouble(kFloats[b % std::size(kFloats)]);
      PyList_SET_ITEM(list.get(), i, must(item, "float"));
    }
    tracked_.note(list.get());
    return list;
  }

  OwnedRef vectors_like() {
    const std::uint8_t choice = in_.byte();
    if (choice >= 96) return value(0);
    const int n = choice % 5;
    OwnedRef list(must(PyList_New(n), "list"));
    for (int i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, vector_like().release());
    tracked_.note(list.get());
    return list;
  }

  OwnedRef limit_like() {
    const std::uint8_t choice = in_.byte();
    if (choice >= 64) return value(0);
    return OwnedRef(must(PyLong_FromLong(choice % 12), "int"));
  }

  OwnedRef metric_like() {
    const std::uint8_t choice = in_.byte();
    if (choice >= 192) return value(0);
    return text(kMetrics[choice % std::size(kMetrics)]);
  }

  // Absent (nullptr), None, a tenant name or any value.
  OwnedRef tenant_like() {
    const std::uint8_t choice = in_.byte();
    if (choice < 96) return OwnedRef();
    if (choice < 160) return OwnedRef(Py_NewRef(Py_None));
    if (choice < 224) return text(kTenants[choice % std::size(kTenants)]);
    return value(0);
  }

  OwnedRef text(const char* name) {
    OwnedRef made(must(PyUnicode_FromString(name), "str"));
    tracked_.note(made.get());
    return made;
  }

 private:
  OwnedRef call(const char* cls, PyObject* args) {
    OwnedRef owned_args(args);
    if (args == nullptr) return OwnedRef();
    return OwnedRef(PyObject_CallObject(py->get(cls), args));
  }

  OwnedRef int_from_bytes() {
    const int n = 1 + in_.byte() % 16;
    const bool negative = in_.byte() & 1;
    std::string digits = negative ? "-0x" : "0x";
    for (int i = 0; i < n; ++i) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", in_.byte());
      digits += hex;
    }
    return OwnedRef(PyLong_FromString(digits.c_str(), nullptr, 16));
  }

  OwnedRef str_from_bytes() {
    const std::string_view raw = in_.take(in_.byte() % 80);
    PyObject* made = PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()),
                                          "surrogatepass");
    if (made == nullptr) {
      PyErr_Clear();
      made = PyUnicode_DecodeLatin1(raw.data(), static_cast<Py_ssize_t>(raw.size()), nullptr);
    }
    return OwnedRef(made);
  }

  // (raising, value): what __index__, __float__ and __len__ do.
  OwnedRef answer(int depth) {
    const int mode = in_.byte() % 4;
    switch (mode) {
      case 0:
        return OwnedRef(Py_BuildValue("(ON)", Py_False, value(depth + 1).release()));
      case 1:
        return OwnedRef(Py_BuildValue("(ON)", Py_False,
                                      PyLong_FromString(kInts[in_.byte() % std::size(kInts)],
                                                        nullptr, 10)));
      case 2: {
        const Py_ssize_t count = PyTuple_GET_SIZE(py->raisable);
        PyObject* cls = PyTuple_GET_ITEM(py->raisable, in_.byte() % count);
        return OwnedRef(Py_BuildValue("(OO)", Py_True, cls));
      }
      default:
        return OwnedRef(Py_BuildValue("(ON)", Py_False, PyFloat_FromDouble(in_.raw_double())));
    }
  }

  OwnedRef items(int depth, int n) {
    OwnedRef tuple(PyTuple_New(n));
    if (tuple.get() == nullptr) return tuple;
    for (int i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, value(depth + 1).release());
    return tuple;
  }

  OwnedRef dict(int depth, bool subclass) {
    OwnedRef made(subclass ? PyObject_CallNoArgs(py->get("DictSub")) : PyDict_New());
    if (made.get() == nullptr) return made;
    const int n = in_.byte() % 9;
    for (int i = 0; i < n; ++i) {
      OwnedRef key = (in_.byte() & 1) ? str_from_bytes() : value(depth + 1);
      if (key.get() == nullptr) {
        PyErr_Clear();
        continue;
      }
      tracked_.note(key.get());
      OwnedRef item = value(depth + 1);
      if (PyDict_SetItem(made.get(), key.get(), item.get()) < 0) PyErr_Clear();  // unhashable
    }
    return made;
  }

  OwnedRef buffer() {
    const int kind = in_.byte();
    const int code = in_.byte();
    const int step = in_.byte();
    const int rows = in_.byte();
    const std::string_view raw = in_.take(in_.byte() % 64);
    return OwnedRef(PyObject_CallFunction(py->get("make_buffer"), "iy#iii", kind, raw.data(),
                                          static_cast<Py_ssize_t>(raw.size()), code, step, rows));
  }

  OwnedRef other(int depth) {
    switch (in_.byte() % 8) {
      case 0: {
        OwnedRef elements = items(depth, in_.byte() % 5);
        if (elements.get() == nullptr) return elements;
        return OwnedRef(PySet_New(elements.get()));  // NULL (None) when unhashable
      }
      case 1: {
        OwnedRef elements = items(depth, in_.byte() % 5);
        if (elements.get() == nullptr) return elements;
        return OwnedRef(PyFrozenSet_New(elements.get()));
      }
      case 2:
        return OwnedRef(PyObject_CallFunction(py->get("generator"), "i", in_.byte() % 8));
      case 3:
        return OwnedRef(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
      case 4: {
        const int start = static_cast<std::int8_t>(in_.byte());
        const int stop = static_cast<std::int8_t>(in_.byte());
        const int step = 1 + in_.byte() % 4;
        return OwnedRef(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyRange_Type), "iii",
                                              start, stop, step));
      }
      case 5: {
        const std::string_view raw = in_.take(in_.byte() % 16);
        return OwnedRef(
            PyByteArray_FromStringAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size())));
      }
      case 6: {
        const std::string_view raw = in_.take(in_.byte() % 16);
        OwnedRef bytes(PyBytes_FromStringAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size())));
        if (bytes.get() == nullptr) return bytes;
        return OwnedRef(PyMemoryView_FromObject(bytes.get()));
      }
      default:
        return buffer();
    }
  }

  OwnedRef make(int tag, int depth) {
    if (depth >= kMaxDepth && tag >= 8) tag %= 8;  // containers stop here
    switch (tag) {
      case 0:
        return OwnedRef(Py_NewRef(Py_None));
      case 1:
        return OwnedRef(PyBool_FromLong(in_.byte() & 1));
      case 2:
        return int_from_bytes();
      case 3:
        return OwnedRef(PyFloat_FromDouble(in_.raw_double()));
      case 4:
        return OwnedRef(PyFloat_FromDouble(kFloats[in_.byte() % std::size(kFloats)]));
      case 5:
        return OwnedRef(PyLong_FromString(kInts[in_.byte() % std::size(kInts)], nullptr, 10));
      case 6:
        return str_from_bytes();
      case 7: {
        const std::string_view raw = in_.take(in_.byte() % 32);
        return OwnedRef(PyBytes_FromStringAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size())));
      }
      case 8: {
        OwnedRef tuple = items(depth, in_.byte() % 9);
        if (tuple.get() == nullptr) return tuple;
        return OwnedRef(PySequence_List(tuple.get()));
      }
      case 9:
        return items(depth, in_.byte() % 9);
      case 10:
        return dict(depth, false);
      case 11:
        return dict(depth, true);
      case 12: {
        OwnedRef base = str_from_bytes();
        if (base.get() == nullptr) return base;
        return call("StrSub", PyTuple_Pack(1, base.get()));
      }
      case 13: {
        OwnedRef index = answer(depth);
        OwnedRef flt = answer(depth);
        if (!index.get() || !flt.get()) return OwnedRef();
        return call("Num", PyTuple_Pack(2, index.get(), flt.get()));
      }
      case 14: {
        OwnedRef index = answer(depth);
        if (!index.get()) return index;
        return call("IndexOnly", PyTuple_Pack(1, index.get()));
      }
      case 15: {
        OwnedRef flt = answer(depth);
        if (!flt.get()) return flt;
        return call("FloatOnly", PyTuple_Pack(1, flt.get()));
      }
      case 16: {
        OwnedRef length = answer(depth);
        OwnedRef elements = items(depth, in_.byte() % 9);
        OwnedRef fail_at(PyLong_FromLong(in_.byte() % 12));
        if (!length.get() || !elements.get() || !fail_at.get()) return OwnedRef();
        return call("LyingSeq", PyTuple_Pack(3, length.get(), elements.get(), fail_at.get()));
      }
      case 17: {
        OwnedRef length = answer(depth);
        OwnedRef elements = items(depth, in_.byte() % 9);
        if (!length.get() || !elements.get()) return OwnedRef();
        return call("LyingList", PyTuple_Pack(2, elements.get(), length.get()));
      }
      case 18:
        return OwnedRef(PyUnicode_FromString(kMetrics[in_.byte() % std::size(kMetrics)]));
      case 19:
        tracked_.reentrant = true;
        return call("Reenter", Py_BuildValue("(i)", in_.byte() % 6));
      case 20: {
        OwnedRef base = int_from_bytes();
        if (base.get() == nullptr) return base;
        return call("IntSub", PyTuple_Pack(1, base.get()));
      }
      case 21:
        return call("FloatSub", Py_BuildValue("(d)", in_.raw_double()));
      case 22:
        return other(depth);
      default: {
        static const std::pair<const char*, int> kSizes[] = {
            {"a", 63}, {"a", 64}, {"a", 65}, {"\xc3\xa9", 32}, {"\xc3\xa9", 33},
            {"\xe2\x82\xac", 21}, {"\xe2\x82\xac", 22}, {"\xf0\x9f\x98\x80", 16},
            {"\xf0\x9f\x98\x80", 17}};
        const auto [unit, count] = kSizes[in_.byte() % std::size(kSizes)];
        std::string text;
        for (int i = 0; i < count; ++i) text += unit;
        return OwnedRef(PyUnicode_FromStringAndSize(text.data(),
                                                    static_cast<Py_ssize_t>(text.size())));
      }
    }
  }

  Bytes& in_;
  Tracked& tracked_;
};

}  // namespace argument_fuzz
