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
//   value: built by ValueBuilder (value_builder.h), which documents its format.
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
#include <fstream>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "bindings/call/converters.h"
#include "bindings/call/metric_name.h"
#include "bindings/call/owned_ref.h"
#include "bindings/call/python_error.h"
#include "bindings/storage/py_vector_storage.h"
#include "../cpp/snapshot_bytes.h"
#include "storage/snapshot/snapshot_codec.h"
#include "fuzz_support.h"
#include "value_builder.h"

extern "C" PyObject* PyInit_tavrik(void);

namespace {

using namespace argument_fuzz;
using tavrik::bindings::OwnedRef;
using tavrik::bindings::PythonError;
using tavrik::bindings::PyVectorStorage;

constexpr int kMaxOps = 24;
constexpr int kOpCount = 12;
constexpr std::size_t kLargeStorePoints = 600;

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

// The helper classes' source, argument_fuzz_prelude.py beside this file.
std::string prelude_text() {
  std::ifstream file(TAVRIK_FUZZ_PRELUDE);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!file || text.empty()) fail("prelude file " TAVRIK_FUZZ_PRELUDE);
  return text;
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
  OwnedRef ran(PyRun_String(prelude_text().c_str(), Py_file_input, py->ns, py->ns));
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
                if (other.id_of(id) != points.id_of(id) || twin.payload != point.payload) {
                  return false;
                }
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
