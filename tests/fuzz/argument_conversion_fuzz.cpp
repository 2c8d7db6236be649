// Drives the argument converters and the VectorStorage methods through an
// embedded interpreter with Python values built from the fuzz bytes.
//
// Input format (tests/fuzz/make_argument_corpus.py writes the same): a list
// of operations, at most kMaxOps, each an operation byte followed by what it
// reads. Past the end every read yields 0 (so values become None).
//
//   operation byte % kOpCount:
//     0 convert_u64(value)            1 convert_f32_sequence(value)
//     2 convert_f32_sequences(value)  3 convert_payload(value)
//     4 convert_text(value), then parse_metric of the text
//     5 parse_metric(n raw bytes): n byte, bytes
//     6 upsert       style byte, point_id, vector, payload
//     7 search       style byte, query, limit, metric, tenant
//     8 batch_search style byte, queries, limit, metric, tenant
//     9 search (even) or batch_search (odd) on the 600-point store: selector
//       byte, then as 7 or 8
//    10 consistency: store byte (even small, odd large), queries value,
//       limit byte, metric byte, tenant byte; batch_search of the converted
//       queries must equal search of each
//    11 save the small store to a private directory, load it into a new store,
//       compare the two point tables
//
//   value: tag byte % kTagCount, then:
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
//
// Invariants checked (abort on violation): every exception is one the
// conversions may raise (TypeError, OverflowError, ValueError, MemoryError)
// or one raised by the fuzzed objects; overrides that must never be called
// (dict/str/int/float subclass methods) are not; a failed call leaves an
// error set, a successful one none; results have the right types and sizes;
// a failed upsert leaves the store's snapshot encoding byte-identical;
// batch_search equals per-query search; reference counts of the argument
// values, the stores and the helper classes are the same after each
// operation as before it.
#include "bindings/compat/python_compat.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "bindings/call/converters.h"
#include "bindings/call/metric_name.h"
#include "bindings/call/python_error.h"
#include "bindings/storage/py_vector_storage.h"
#include "storage/snapshot/snapshot_codec.h"

extern "C" PyObject* PyInit_tavrik(void);

namespace {

using tavrik::bindings::OwnedRef;
using tavrik::bindings::PythonError;
using tavrik::bindings::PyVectorStorage;

constexpr int kMaxOps = 24;
constexpr int kOpCount = 12;
constexpr int kTagCount = 24;
constexpr int kMaxDepth = 4;
constexpr std::size_t kLargeStorePoints = 600;

// Helper classes, run once in a private namespace. Methods that raise
// Consulted are overrides the conversions must never call.
constexpr char kPrelude[] = R"PY(
import array
import warnings
warnings.simplefilter('ignore', DeprecationWarning)

class Consulted(BaseException):
    pass

class FuzzError(Exception):
    pass

class FuzzBase(BaseException):
    pass

class FuzzStop(StopIteration):
    pass

class FuzzIndex(IndexError):
    pass

class FuzzKey(KeyError):
    pass

RAISABLE = (FuzzError, FuzzBase, FuzzStop, FuzzIndex, FuzzKey, TypeError, OverflowError,
            ValueError, MemoryError)
# NotImplementedError: the host's iteration of a multi-dimensional memoryview.
EXPECTED = (TypeError, OverflowError, ValueError, MemoryError, NotImplementedError,
            FuzzError, FuzzBase, FuzzStop, FuzzIndex, FuzzKey)

def answer(spec):
    raising, value = spec
    if raising:
        raise value('fuzz')
    return value

class DictSub(dict):
    def __iter__(self): raise Consulted('DictSub.__iter__')
    def __len__(self): raise Consulted('DictSub.__len__')
    def __getitem__(self, key): raise Consulted('DictSub.__getitem__')
    def items(self): raise Consulted('DictSub.items')
    def keys(self): raise Consulted('DictSub.keys')
    def values(self): raise Consulted('DictSub.values')

class StrSub(str):
    def __str__(self): raise Consulted('StrSub.__str__')
    def __iter__(self): raise Consulted('StrSub.__iter__')
    def __len__(self): raise Consulted('StrSub.__len__')
    def __getitem__(self, i): raise Consulted('StrSub.__getitem__')
    def encode(self, *args, **kwargs): raise Consulted('StrSub.encode')
    def lower(self): raise Consulted('StrSub.lower')

class IntSub(int):
    def __index__(self): raise Consulted('IntSub.__index__')
    def __int__(self): raise Consulted('IntSub.__int__')

class FloatSub(float):
    def __float__(self): raise Consulted('FloatSub.__float__')

class Num:
    def __init__(self, index, flt):
        self.index_spec = index
        self.float_spec = flt
    def __index__(self): return answer(self.index_spec)
    def __float__(self): return answer(self.float_spec)

class IndexOnly:
    def __init__(self, index): self.index_spec = index
    def __index__(self): return answer(self.index_spec)

class FloatOnly:
    def __init__(self, flt): self.float_spec = flt
    def __float__(self): return answer(self.float_spec)

class LyingSeq:
    def __init__(self, length, items, fail_at):
        self.length_spec = length
        self.items = items
        self.fail_at = fail_at
    def __len__(self): return answer(self.length_spec)
    def __getitem__(self, i):
        if i == self.fail_at:
            raise FuzzError('getitem')
        return self.items[i]

class LyingList(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length_spec = length
    def __len__(self): return answer(self.length_spec)

state = {'store': None, 'mutations': 0, 'snapshot': None, 'scratch': None}

def act(action):
    store = state['store']
    if action == 0:
        state['mutations'] += 1
        store.upsert(7, [1.0, 2.0], {'tenant_id': 'a', 'n': 1})
    elif action == 1:
        store.search([1.0, 2.0], 3, 'cosine')
    elif action == 2:
        store.batch_search([[1.0], [2.0, 3.0], []], 2, 'l2', 'a')
    elif action == 3:
        state['mutations'] += 1
        store.load(state['snapshot'])
    elif action == 4:
        store.save(state['scratch'])
    elif action == 5:
        state['mutations'] += 1
        store.upsert(8, [], None)

class Reenter:
    busy = False
    def __init__(self, action):
        self.action = action
    def run(self):
        if Reenter.busy:
            return
        Reenter.busy = True
        try:
            act(self.action % 6)
        finally:
            Reenter.busy = False
    def __index__(self):
        self.run()
        return self.action
    def __float__(self):
        self.run()
        return 0.5
    def __len__(self):
        self.run()
        return 2
    def __getitem__(self, i):
        self.run()
        if i >= 2:
            raise IndexError(i)
        return float(i)

def generator(n):
    yield from range(n)

array_type = array.array

class ArraySub(array.array):
    pass

def make_buffer(kind, raw, code, step, rows):
    """Float (and other) buffers: array.array, memoryviews cast, strided,
    multi-dimensional, zero-dimensional, released, over a bytearray."""
    code = 'fdBbiq'[code % 6]
    size = array.array(code).itemsize
    raw = raw[:len(raw) // size * size]
    step = (1, 2, -1, -2, 3)[step % 5]
    kind %= 7
    if kind == 0:
        return array.array(code, raw)[::step]
    if kind == 1:
        return memoryview(raw).cast(code)[::step]
    if kind == 2:
        rows = 1 + rows % 4
        count = len(raw) // size
        return memoryview(raw).cast(code, (rows, count // rows)) if count % rows == 0 else None
    if kind == 3:
        view = memoryview(raw).cast(code)
        view.release()
        return view
    if kind == 4:
        return memoryview(bytearray(raw)).cast(code)[::step]
    if kind == 5:
        return memoryview(raw[:size]).cast(code, ()) if len(raw) >= size else None
    return ArraySub(code, raw)
)PY";

// ---------------------------------------------------------------------------
// Failing loudly.

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "argument_conversion_fuzz: invariant broken: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::fflush(stderr);
  std::abort();
}

// TAVRIK_FUZZ_TRACE=1 prints each operation (and converter argument) to
// standard error, for reading a reproducer.
bool tracing() {
  static const bool on = std::getenv("TAVRIK_FUZZ_TRACE") != nullptr;
  return on;
}

void require(bool condition, const char* what) {
  if (!condition) fail(what);
}

PyObject* must(PyObject* object, const char* what) {
  if (object == nullptr) fail(what);
  return object;
}

// ---------------------------------------------------------------------------
// Process-wide interpreter state, made once.

struct Interpreter {
  PyObject* ns = nullptr;  // the prelude's namespace
  PyObject* state = nullptr;
  PyObject* storage_class = nullptr;
  PyObject* large_store = nullptr;
  PyObject* expected = nullptr;   // tuple of acceptable exception types
  PyObject* raisable = nullptr;   // tuple of exception classes fuzzed objects raise
  PyObject* consulted = nullptr;
  std::vector<PyObject*> classes;  // long-lived objects whose counts are checked
  std::string directory;
  std::string roundtrip_path;

  PyObject* get(const char* name) const {
    return must(PyDict_GetItemString(ns, name), name);  // borrowed
  }
};

Interpreter* py = nullptr;

std::string make_directory() {
  for (const char* base : {"/dev/shm", "/tmp"}) {
    std::string pattern = std::string(base) + "/tavrik-argfuzz-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) return pattern;
  }
  fail("no private directory");
}

void remove_directory() {
  if (py == nullptr || py->directory.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(py->directory, ignored);
}

PyObject* new_store() {
  return must(PyObject_CallNoArgs(py->storage_class), "VectorStorage()");
}

tavrik::Segment& segment_of(PyObject* store) {
  return reinterpret_cast<PyVectorStorage*>(store)->segment;
}

tavrik::FileBytes encoding_of(PyObject* store) {
  return segment_of(store).read([](const tavrik::PointTable& points,
                                   const tavrik::HNSWIndex& index) {
    return tavrik::encode_snapshot(points, index);
  });
}

std::size_t point_count(PyObject* store) {
  return segment_of(store).read(
      [](const tavrik::PointTable& points, const tavrik::HNSWIndex&) { return points.size(); });
}

void upsert_plain(PyObject* store, std::uint64_t id, const std::vector<double>& vector,
                  const char* tenant) {
  OwnedRef list(must(PyList_New(0), "list"));
  for (double v : vector) {
    OwnedRef item(must(PyFloat_FromDouble(v), "float"));
    require(PyList_Append(list.get(), item.get()) == 0, "append");
  }
  OwnedRef payload;
  if (tenant != nullptr) {
    payload = OwnedRef(must(Py_BuildValue("{s:s,s:K}", "tenant_id", tenant, "n", id), "dict"));
  } else {
    payload = OwnedRef(Py_NewRef(Py_None));
  }
  OwnedRef result(PyObject_CallMethod(store, "upsert", "KOO", static_cast<unsigned long long>(id),
                                      list.get(), payload.get()));
  require(result.get() == Py_None, "setup upsert");
}

void initialise() {
  PyPreConfig preconfig;
  PyPreConfig_InitIsolatedConfig(&preconfig);
  preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;  // every object visible to ASan
  if (PyStatus_Exception(Py_PreInitialize(&preconfig))) fail("pre-initialisation");
  if (PyImport_AppendInittab("tavrik", PyInit_tavrik) != 0) fail("inittab");
  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.install_signal_handlers = 0;
  config.site_import = 0;
  config.write_bytecode = 0;
  if (PyStatus_Exception(PyConfig_SetBytesString(&config, &config.home, TAVRIK_FUZZ_PYTHON_HOME))) {
    fail("python home");
  }
  const PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) fail("interpreter start");

  py = new Interpreter();
  py->directory = make_directory();
  std::atexit(remove_directory);
  py->roundtrip_path = py->directory + "/roundtrip";

  py->ns = must(PyDict_New(), "namespace");
  require(PyDict_SetItemString(py->ns, "__builtins__", PyEval_GetBuiltins()) == 0, "builtins");
  OwnedRef ran(PyRun_String(kPrelude, Py_file_input, py->ns, py->ns));
  must(ran.get(), "prelude");
  OwnedRef module(must(PyImport_ImportModule("tavrik"), "import tavrik"));
  py->storage_class = must(PyObject_GetAttrString(module.get(), "VectorStorage"), "class");

  py->state = py->get("state");
  py->expected = py->get("EXPECTED");
  py->raisable = py->get("RAISABLE");
  py->consulted = py->get("Consulted");
  for (const char* name : {"Consulted", "FuzzError", "FuzzBase", "FuzzStop", "FuzzIndex",
                           "FuzzKey", "DictSub", "StrSub", "IntSub", "FloatSub", "Num",
                           "IndexOnly", "FloatOnly", "LyingSeq", "LyingList", "Reenter",
                           "ArraySub"}) {
    py->classes.push_back(py->get(name));
  }
  py->classes.push_back(py->storage_class);

  // The snapshot the re-entrant objects load, and where they save.
  OwnedRef small(new_store());
  upsert_plain(small.get(), 1, {1.0, 0.0}, "a");
  upsert_plain(small.get(), 2, {0.0, 1.0, 2.0}, "b");
  upsert_plain(small.get(), 3, {0.5, 0.5}, nullptr);
  const std::string snapshot = py->directory + "/snapshot";
  OwnedRef saved(PyObject_CallMethod(small.get(), "save", "s", snapshot.c_str()));
  require(saved.get() == Py_None, "setup save");
  OwnedRef snapshot_text(must(PyUnicode_FromString(snapshot.c_str()), "str"));
  require(PyDict_SetItemString(py->state, "snapshot", snapshot_text.get()) == 0, "state");
  const std::string scratch = py->directory + "/scratch";
  OwnedRef scratch_text(must(PyUnicode_FromString(scratch.c_str()), "str"));
  require(PyDict_SetItemString(py->state, "scratch", scratch_text.get()) == 0, "state");

  // A store large enough to be searched through the graph.
  py->large_store = new_store();
  for (std::size_t i = 0; i < kLargeStorePoints; ++i) {
    const double x = static_cast<double>(i);
    upsert_plain(py->large_store, i,
                 {std::sin(x), std::cos(x * 0.7), std::sin(x * 1.3) + 0.1, 1.0 / (1.0 + x)},
                 i % 3 == 0 ? "a" : (i % 3 == 1 ? "b" : nullptr));
  }
  require(!PyErr_Occurred(), "clean start");
}

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

const double kFloats[] = {0.0,     -0.0,    1.0,    -1.0,   0.5,     NAN,    -NAN,
                          INFINITY, -INFINITY, 1e39, -1e39, 3.4028235e38, 1e-45, 1e-310,
                          9.223372036854775808e18, 1.8446744073709551616e19, 0.1, 2.0};
const char* const kInts[] = {"0", "1", "-1", "2", "255", "256", "257", "-5", "-6",
                             "4294967295", "4294967296", "9223372036854775807",
                             "9223372036854775808", "-9223372036854775808",
                             "-9223372036854775809", "18446744073709551615",
                             "18446744073709551616", "340282366920938463463374607431768211456",
                             "3", "10", "500", "1000"};
const char* const kMetrics[] = {"cosine", "COSINE", "Dot", "dot", "dot_product", "DOT_PRODUCT",
                                "l2", "L2", "euclidean", "Euclidean", "manhattan", " cosine",
                                "dot-product", "", "\xe2\x84\xaa", "cos\xc3\xafne", "l2 ",
                                "\xc4\xb0"};
const char* const kTenants[] = {"a", "b", "c", ""};

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

// ---------------------------------------------------------------------------
// Checking outcomes.

long mutations() {
  PyObject* count = must(PyDict_GetItemString(py->state, "mutations"), "mutations");
  return PyLong_AsLong(count);
}

// A call failed: an error must be set, of an expected type, with at most
// one note (unless re-entrant calls could have added theirs).
void check_failure(const Tracked& tracked, bool binding_error = false) {
  PyObject* exception = PyErr_GetRaisedException();
  require(exception != nullptr, "failure without an exception set");
  if (binding_error && !PyErr_GivenExceptionMatches(exception, PyExc_TypeError)) {
    PyErr_SetRaisedException(exception);
    fail("a binding error raised something other than TypeError");
  }
  if (PyErr_GivenExceptionMatches(exception, py->consulted)) {
    PyErr_SetRaisedException(exception);
    fail("an override that must not be consulted was called");
  }
  if (!PyErr_GivenExceptionMatches(exception, py->expected)) {
    PyErr_SetRaisedException(exception);
    fail("unexpected exception type");
  }
  if (!tracked.reentrant) {
    PyObject* notes = PyObject_GetAttrString(exception, "__notes__");
    if (notes == nullptr) {
      PyErr_Clear();
    } else {
      const bool ok = PyList_CheckExact(notes) && PyList_GET_SIZE(notes) <= 1;
      Py_DECREF(notes);
      if (!ok) {
        PyErr_SetRaisedException(exception);
        fail("more than one note");
      }
    }
  }
  Py_DECREF(exception);
}

// A native converter: either a value and no error, or PythonError (or
// bad_alloc, which the methods turn into MemoryError) with an error set.
template <class Convert>
auto convert(const Tracked& tracked, Convert&& body) -> std::optional<decltype(body())> {
  try {
    auto result = body();
    require(!PyErr_Occurred(), "converter succeeded with an error set");
    return result;
  } catch (const PythonError&) {
    check_failure(tracked);
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
  }
  return std::nullopt;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// (id, score) tuples; at most `limit` (when known) and `bound` of them.
void check_result_list(PyObject* list, std::optional<std::uint64_t> limit, std::size_t bound) {
  require(PyList_CheckExact(list), "search result is not a list");
  const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list));
  if (limit) require(n <= *limit, "more results than the limit");
  require(n <= bound, "more results than possible");
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
    require(PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2, "result is not a pair");
    require(PyLong_CheckExact(PyTuple_GET_ITEM(pair, 0)), "result id is not an int");
    require(PyFloat_CheckExact(PyTuple_GET_ITEM(pair, 1)), "result score is not a float");
    const double score = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(pair, 1));
    require(std::isnan(score) || static_cast<double>(static_cast<float>(score)) == score,
            "score is not a widened f32");
  }
}

std::optional<std::uint64_t> plain_limit(PyObject* limit) {
  if (limit == nullptr || !PyLong_CheckExact(limit)) return std::nullopt;
  const unsigned long long value = PyLong_AsUnsignedLongLong(limit);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return value;
}

std::optional<std::size_t> plain_length(PyObject* sequence) {
  if (sequence == nullptr) return std::nullopt;
  if (PyList_CheckExact(sequence)) return PyList_GET_SIZE(sequence);
  if (PyTuple_CheckExact(sequence)) return PyTuple_GET_SIZE(sequence);
  return std::nullopt;
}

// Records the counts of the tracked values when made (after the arguments
// are built) and compares them when destroyed (after the results and errors
// are gone, while the arguments are still held): declare it after the
// arguments and before the results.
// The stores and the helper classes are checked the same way.
class CountCheck {
 public:
  CountCheck(Tracked& tracked, PyObject* store)
      : tracked_(tracked), store_(store), long_lived_(long_lived_counts(store)) {
    tracked_.record();
  }
  CountCheck(const CountCheck&) = delete;
  CountCheck& operator=(const CountCheck&) = delete;
  ~CountCheck() {
    if (tracked_.unchanged() && long_lived_counts(store_) == long_lived_) return;
    PyGC_Collect();  // exceptions in reference cycles go only with a collection
    require(tracked_.unchanged(true), "an argument's reference count changed");
    require(long_lived_counts(store_) == long_lived_, "a long-lived reference count changed");
  }

 private:
  static std::vector<Py_ssize_t> long_lived_counts(PyObject* store) {
    std::vector<Py_ssize_t> counts;
    counts.push_back(Py_REFCNT(store));
    counts.push_back(Py_REFCNT(py->large_store));
    for (PyObject* cls : py->classes) counts.push_back(Py_REFCNT(cls));
    return counts;
  }

  Tracked& tracked_;
  PyObject* store_;
  std::vector<Py_ssize_t> long_lived_;
};

// ---------------------------------------------------------------------------
// Calling the methods.

struct Argument {
  const char* name;
  PyObject* value;  // nullptr: not passed
};

// Calls `method` with the arguments passed as `style` says:
//   0 positional, 1 keywords, 2 first positional and the rest by keyword,
//   3 a binding error (one extra positional, an unknown keyword, the first
//   parameter twice, or a missing argument, by the next byte).
// Sets *binding_error when the binding must fail.
OwnedRef call_method(PyObject* self, const char* method, std::vector<Argument> arguments,
                     std::uint8_t style, std::uint8_t abuse, bool* binding_error) {
  *binding_error = false;
  std::vector<PyObject*> positional;
  std::vector<PyObject*> keyword_values;
  OwnedRef names(must(PyList_New(0), "names"));
  auto add_keyword = [&](const char* name, PyObject* value) {
    OwnedRef text(must(PyUnicode_FromString(name), "str"));
    require(PyList_Append(names.get(), text.get()) == 0, "append");
    keyword_values.push_back(value);
  };
  // Trailing absent arguments are simply not passed.
  while (!arguments.empty() && arguments.back().value == nullptr) arguments.pop_back();
  const int mode = style % 4;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    PyObject* value = arguments[i].value != nullptr ? arguments[i].value : Py_None;
    if (mode == 0 || mode == 3 || (mode == 2 && i == 0)) {
      positional.push_back(value);
    } else {
      add_keyword(arguments[i].name, value);
    }
  }
  if (mode == 3) {
    *binding_error = true;
    switch (abuse % 4) {
      case 0:
        while (positional.size() < 4) positional.push_back(Py_None);
        positional.push_back(Py_None);
        break;
      case 1:
        add_keyword("x", Py_None);
        break;
      case 2:
        if (positional.empty()) positional.push_back(Py_None);
        add_keyword(arguments.empty() ? "point_id" : arguments[0].name, Py_None);
        // save/load take one argument: the keyword then repeats it, or with
        // no argument given it is an unknown one; both are binding errors.
        break;
      default:
        positional.clear();
        break;
    }
  }
  OwnedRef kwnames(must(PyList_AsTuple(names.get()), "kwnames"));
  std::vector<PyObject*> all = positional;
  all.insert(all.end(), keyword_values.begin(), keyword_values.end());
  OwnedRef bound(must(PyObject_GetAttrString(self, method), "bound method"));
  PyObject* tuple_or_null = PyTuple_GET_SIZE(kwnames.get()) > 0 ? kwnames.get() : nullptr;
  return OwnedRef(PyObject_Vectorcall(bound.get(), all.data(), positional.size(), tuple_or_null));
}

struct Op {
  Bytes& in;
  Tracked& tracked;
  PyObject* store;  // the small store of this input
};

void op_upsert(Op& op) {
  Builder build(op.in, op.tracked);
  const std::uint8_t style = op.in.byte();
  const std::uint8_t abuse = op.in.byte();
  OwnedRef id = op.in.byte() < 128 ? OwnedRef(must(PyLong_FromLong(op.in.byte() % 16), "int"))
                                   : build.value();
  OwnedRef vector = build.vector_like();
  OwnedRef payload = build.value();
  const CountCheck counted(op.tracked, op.store);
  const auto before = encoding_of(op.store);
  const long mutations_before = mutations();
  bool binding_error = false;
  OwnedRef result = call_method(op.store, "upsert",
                                {{"point_id", id.get()}, {"vector", vector.get()},
                                 {"payload", payload.get()}},
                                style, abuse, &binding_error);
  if (result.get() == nullptr) {
    check_failure(op.tracked, binding_error);
    if (mutations() == mutations_before) {
      require(encoding_of(op.store) == before, "a failed upsert changed the store");
    }
  } else {
    require(!PyErr_Occurred(), "upsert succeeded with an error set");
    require(!binding_error, "a binding error was accepted");
    require(result.get() == Py_None, "upsert did not return None");
  }
}

void op_search(Op& op, PyObject* store, bool batch, bool large) {
  Builder build(op.in, op.tracked);
  const std::uint8_t style = op.in.byte();
  const std::uint8_t abuse = op.in.byte();
  OwnedRef query = batch ? build.vectors_like() : build.vector_like(0);
  OwnedRef limit = build.limit_like();
  OwnedRef metric = build.metric_like();
  OwnedRef tenant = build.tenant_like();
  const CountCheck counted(op.tracked, op.store);
  const long mutations_before = mutations();
  bool binding_error = false;
  OwnedRef result = call_method(store, batch ? "batch_search" : "search",
                                {{batch ? "query_vectors" : "query_vector", query.get()},
                                 {"limit", limit.get()},
                                 {"metric", metric.get()},
                                 {"tenant_id", tenant.get()}},
                                style, abuse, &binding_error);
  if (result.get() == nullptr) {
    check_failure(op.tracked, binding_error);
    return;
  }
  require(!PyErr_Occurred(), "search succeeded with an error set");
  require(!binding_error, "a binding error was accepted");
  // Re-entrant upserts may have grown the small store during conversion.
  const std::size_t bound =
      large ? 32 : (mutations() == mutations_before ? point_count(store) : SIZE_MAX);
  const auto limit_value = plain_limit(limit.get());
  if (!batch) {
    check_result_list(result.get(), limit_value, bound);
    return;
  }
  require(PyList_CheckExact(result.get()), "batch result is not a list");
  if (const auto n = plain_length(query.get())) {
    require(static_cast<std::size_t>(PyList_GET_SIZE(result.get())) == *n,
            "batch result count differs from the query count");
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(result.get()); ++i) {
    check_result_list(PyList_GET_ITEM(result.get(), i), limit_value, bound);
  }
}

// batch_search of converted queries equals search of each query.
void op_consistency(Op& op) {
  Builder build(op.in, op.tracked);
  PyObject* store = (op.in.byte() & 1) ? py->large_store : op.store;
  OwnedRef queries_value = build.vectors_like();
  const std::uint64_t limit = op.in.byte() % 40;
  const char* metric = kMetrics[op.in.byte() % 10];  // the accepted names
  const std::uint8_t tenant_choice = op.in.byte();
  const CountCheck counted(op.tracked, op.store);
  auto queries = convert(op.tracked, [&] {
    return tavrik::bindings::convert_f32_sequences(queries_value.get());
  });
  if (!queries) return;
  OwnedRef pure(must(PyList_New(static_cast<Py_ssize_t>(queries->size())), "list"));
  for (std::size_t i = 0; i < queries->size(); ++i) {
    const auto& query = (*queries)[i];
    PyObject* list = must(PyList_New(static_cast<Py_ssize_t>(query.size())), "list");
    for (std::size_t j = 0; j < query.size(); ++j) {
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(j),
                      must(PyFloat_FromDouble(query[j]), "float"));
    }
    PyList_SET_ITEM(pure.get(), static_cast<Py_ssize_t>(i), list);
  }
  OwnedRef limit_value(must(PyLong_FromUnsignedLongLong(limit), "int"));
  OwnedRef metric_value(must(PyUnicode_FromString(metric), "str"));
  OwnedRef tenant(tenant_choice < 128
                      ? Py_NewRef(Py_None)
                      : must(PyUnicode_FromString(kTenants[tenant_choice % 3]), "str"));
  OwnedRef batch(PyObject_CallMethod(store, "batch_search", "OOOO", pure.get(), limit_value.get(),
                                     metric_value.get(), tenant.get()));
  must(batch.get(), "batch_search of plain queries");
  require(PyList_GET_SIZE(batch.get()) == static_cast<Py_ssize_t>(queries->size()),
          "batch size");
  for (std::size_t i = 0; i < queries->size(); ++i) {
    OwnedRef single(PyObject_CallMethod(store, "search", "OOOO",
                                        PyList_GET_ITEM(pure.get(), static_cast<Py_ssize_t>(i)),
                                        limit_value.get(), metric_value.get(), tenant.get()));
    must(single.get(), "search of a plain query");
    PyObject* from_batch = PyList_GET_ITEM(batch.get(), static_cast<Py_ssize_t>(i));
    require(PyList_GET_SIZE(single.get()) == PyList_GET_SIZE(from_batch), "batch result length");
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(single.get()); ++j) {
      PyObject* a = PyList_GET_ITEM(single.get(), j);
      PyObject* b = PyList_GET_ITEM(from_batch, j);
      require(PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(a, 0)) ==
                  PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(b, 0)),
              "batch result id differs from search");
      require(same_bits(static_cast<float>(PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(a, 1))),
                        static_cast<float>(PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(b, 1)))),
              "batch result score differs from search");
    }
  }
}

void op_roundtrip(Op& op) {
  const CountCheck counted(op.tracked, op.store);
  OwnedRef saved(PyObject_CallMethod(op.store, "save", "s", py->roundtrip_path.c_str()));
  must(saved.get(), "save to the private directory");
  OwnedRef copy(new_store());
  OwnedRef loaded(PyObject_CallMethod(copy.get(), "load", "s", py->roundtrip_path.c_str()));
  must(loaded.get(), "load from the private directory");
  const bool same = segment_of(op.store).read(
      [&](const tavrik::PointTable& points, const tavrik::HNSWIndex&) {
        return segment_of(copy.get()).read(
            [&](const tavrik::PointTable& other, const tavrik::HNSWIndex&) {
              if (points.size() != other.size()) return false;
              for (const auto& [id, point] : points) {
                const auto found = other.find(id);
                if (found == other.end()) return false;
                const auto& twin = found->second;
                if (twin.id != point.id || twin.payload != point.payload) return false;
                if (twin.vector.size() != point.vector.size()) return false;
                if (!point.vector.empty() &&
                    std::memcmp(twin.vector.data(), point.vector.data(),
                                point.vector.size() * sizeof(float)) != 0) {
                  return false;
                }
              }
              return true;
            });
      });
  require(same, "a loaded snapshot differs from the saved store");
}

void op_convert(Op& op, int which) {
  Builder build(op.in, op.tracked);
  if (which == 5) {
    const std::string_view raw = op.in.take(op.in.byte() % 24);
    const auto metric = tavrik::bindings::parse_metric(raw);
    if (metric) {
      require(raw.size() >= 2 && raw.size() <= 11, "accepted metric of odd length");
    }
    return;
  }
  OwnedRef value = build.value();
  const CountCheck counted(op.tracked, op.store);
  PyObject* v = value.get();
  if (tracing()) {
    PyObject_Print(v, stderr, 0);
    std::fputc('\n', stderr);
  }
  switch (which) {
    case 0:
      if (const auto n = convert(op.tracked, [&] { return tavrik::bindings::convert_u64(v); })) {
        if (PyLong_CheckExact(v)) {
          OwnedRef back(must(PyLong_FromUnsignedLongLong(*n), "int"));
          require(PyObject_RichCompareBool(back.get(), v, Py_EQ) == 1, "u64 value differs");
        }
      }
      break;
    case 1:
      if (const auto floats =
              convert(op.tracked, [&] { return tavrik::bindings::convert_f32_sequence(v); })) {
        if (const auto n = plain_length(v)) {
          require(floats->size() == *n, "vector length differs");
          PyObject* const* items = PySequence_Fast_ITEMS(v);
          for (std::size_t i = 0; i < *n; ++i) {
            if (PyFloat_CheckExact(items[i])) {
              const float expected = tavrik::bindings::round_to_f32(PyFloat_AS_DOUBLE(items[i]));
              require(same_bits((*floats)[i], expected) ||
                          (std::isnan(expected) && std::isnan((*floats)[i])),
                      "vector element differs");
            }
          }
        }
        // A buffer read must give exactly what iterating the same object gives.
        if (PyMemoryView_Check(v) || Py_IS_TYPE(v, reinterpret_cast<PyTypeObject*>(
                                                       py->get("array_type")))) {
          OwnedRef items(PySequence_List(v));
          if (items.get() == nullptr) {
            PyErr_Clear();
          } else if (const auto each = convert(op.tracked, [&] {
                       return tavrik::bindings::convert_f32_sequence(items.get());
                     })) {
            require(each->size() == floats->size(), "buffer length differs from iteration");
            for (std::size_t i = 0; i < each->size(); ++i) {
              require(same_bits((*each)[i], (*floats)[i]), "buffer value differs from iteration");
            }
          }
        }
      }
      break;
    case 2:
      if (const auto all =
              convert(op.tracked, [&] { return tavrik::bindings::convert_f32_sequences(v); })) {
        if (const auto n = plain_length(v)) require(all->size() == *n, "query count differs");
      }
      break;
    case 3:
      if (const auto payload =
              convert(op.tracked, [&] { return tavrik::bindings::convert_payload(v); })) {
        if (v == Py_None) {
          require(!payload->has_value(), "None gave a payload");
          break;
        }
        require(payload->has_value(), "a dict gave no payload");
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        std::size_t kept = 0;
        while (PyDict_Next(v, &position, &key, &item)) {
          if (!PyUnicode_Check(item) && !PyLong_Check(item) && !PyFloat_Check(item)) continue;
          ++kept;
          Py_ssize_t size = 0;
          const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
          require(utf8 != nullptr, "a payload key did not encode");
          const auto found = (*payload)->find(std::string(utf8, static_cast<std::size_t>(size)));
          require(found != (*payload)->end(), "a payload key is missing");
          const auto& stored = found->second;
          if (PyUnicode_Check(item)) {
            Py_ssize_t length = 0;
            require(PyUnicode_AsUTF8AndSize(item, &length) != nullptr, "a text did not encode");
            const bool keyword = length <= static_cast<Py_ssize_t>(tavrik::kKeywordMaxBytes);
            require(keyword ? std::holds_alternative<tavrik::Keyword>(stored)
                            : std::holds_alternative<tavrik::Text>(stored),
                    "keyword or text chosen wrongly");
          } else if (PyLong_Check(item)) {
            require(std::holds_alternative<tavrik::Integer>(stored), "int not stored as Integer");
          } else {
            require(std::holds_alternative<tavrik::Float>(stored), "float not stored as Float");
          }
        }
        require(kept == (*payload)->size(), "payload entry count differs");
      }
      break;
    default:
      if (const auto text = convert(op.tracked, [&] { return tavrik::bindings::convert_text(v); })) {
        require(PyUnicode_Check(v), "a non-str converted to text");
        (void)tavrik::bindings::parse_metric(*text);
      }
      break;
  }
}

void run_op(Op& op, std::uint8_t which) {
  if (tracing()) std::fprintf(stderr, "op %d\n", which % kOpCount);
  switch (which % kOpCount) {
    case 6:
      op_upsert(op);
      break;
    case 7:
      op_search(op, op.store, false, false);
      break;
    case 8:
      op_search(op, op.store, true, false);
      break;
    case 9: {
      const bool batch = op.in.byte() & 1;
      op_search(op, py->large_store, batch, true);
      break;
    }
    case 10:
      op_consistency(op);
      break;
    case 11:
      op_roundtrip(op);
      break;
    default:
      op_convert(op, which % kOpCount);
      break;
  }
  require(!PyErr_Occurred(), "an error left set after an operation");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  initialise();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  OwnedRef store(new_store());
  require(PyDict_SetItemString(py->state, "store", store.get()) == 0, "state");
  for (int i = 0; i < kMaxOps && !in.empty(); ++i) {
    Tracked tracked;
    Op op{in, tracked, store.get()};
    run_op(op, in.byte());
  }
  require(PyDict_SetItemString(py->state, "store", Py_None) == 0, "state");
  if (Py_REFCNT(store.get()) != 1) PyGC_Collect();
  require(Py_REFCNT(store.get()) == 1, "the store is still referenced");
  return 0;
}
