// VectorStorage.search and VectorStorage.batch_search.
//
// Arguments are converted in parameter order (query or queries, limit,
// metric, tenant_id), and only then is the metric name checked, so the
// first bad argument is the one reported and no lock is taken before every
// check has passed. batch_search spreads its queries over the process-wide
// worker pool; workers see only native data.
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/call/converters.h"
#include "bindings/call/metric_name.h"
#include "bindings/parallel/worker_pool.h"
#include "bindings/storage/method_frame.h"
#include "core/fault.h"

namespace tavrik::bindings {
namespace {

constexpr std::string_view kSearchParameters[] = {"query_vector", "limit", "metric",
                                                  "tenant_id"};
const Signature kSearchSignature{"VectorStorage.search()", kSearchParameters, 3};

constexpr std::string_view kBatchParameters[] = {"query_vectors", "limit", "metric",
                                                 "tenant_id"};
const Signature kBatchSignature{"VectorStorage.batch_search()", kBatchParameters, 3};

constexpr char kSearchMetricError[] =
    "Unsupported metric option. Choose from: 'cosine', 'dot_product' ('dot'), or "
    "'euclidean' ('l2').";
constexpr char kBatchMetricError[] =
    "Unsupported metric option assigned. Choose from: 'cosine', 'dot_product', or "
    "'euclidean'.";

// The arguments after the query, shared by both methods.
struct QueryOptions {
  std::uint64_t limit;
  std::string metric_name;
  std::optional<std::string> tenant;

  std::optional<std::string_view> tenant_view() const {
    if (!tenant) return std::nullopt;
    return std::string_view(*tenant);
  }
};

template <class Bound>
QueryOptions convert_options(const Bound& bound) {
  QueryOptions options;
  options.limit = convert_argument("limit", [&] { return convert_u64(bound[1]); });
  options.metric_name = convert_argument("metric", [&] { return convert_text(bound[2]); });
  if (bound[3] != nullptr && bound[3] != Py_None) {
    options.tenant = convert_argument("tenant_id", [&] { return convert_text(bound[3]); });
  }
  return options;
}

Metric metric_or_raise(const std::string& name, const char* message) {
  const std::optional<Metric> metric = parse_metric(name);
  if (!metric) raise(PyExc_ValueError, message);
  return *metric;
}

// Creating a result object can only fail for lack of memory.
PyObject* must(PyObject* object) {
  if (object == nullptr) internal_fault("could not create a search result object");
  return object;
}

PyObject* to_python(const std::vector<ScoredPoint>& results) {
  PyObject* list = must(PyList_New(static_cast<Py_ssize_t>(results.size())));
  for (std::size_t i = 0; i < results.size(); ++i) {
    PyObject* pair = must(PyTuple_New(2));
    PyTuple_SET_ITEM(pair, 0, must(PyLong_FromUnsignedLongLong(results[i].id)));
    PyTuple_SET_ITEM(pair, 1, must(PyFloat_FromDouble(static_cast<double>(results[i].score))));
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), pair);
  }
  return list;
}

}  // namespace

PyObject* search_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
  return run_method<4>(self, kSearchSignature, args, nargsf, kwnames,
                       [](Segment& segment, auto& bound) {
    const std::vector<float> query =
        convert_argument("query_vector", [&] { return convert_f32_sequence(bound[0]); });
    const QueryOptions options = convert_options(bound);
    const Metric metric = metric_or_raise(options.metric_name, kSearchMetricError);
    const auto results = run_or_abort(
        [&] { return segment.search(query, options.limit, metric, options.tenant_view()); });
    return to_python(results);
  });
}

PyObject* batch_search_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  return run_method<4>(self, kBatchSignature, args, nargsf, kwnames,
                       [](Segment& segment, auto& bound) {
    const std::vector<std::vector<float>> queries =
        convert_argument("query_vectors", [&] { return convert_f32_sequences(bound[0]); });
    const QueryOptions options = convert_options(bound);
    const Metric metric = metric_or_raise(options.metric_name, kBatchMetricError);
    const auto results = run_or_abort([&] {
      WorkerPool& pool = WorkerPool::instance();
      return segment.batch_search(
          queries, options.limit, metric, options.tenant_view(), pool.worker_count(),
          [&pool](std::size_t count, const std::function<void(std::size_t)>& body) {
            pool.parallel_for(count, body);
          });
    });
    PyObject* outer = must(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (std::size_t i = 0; i < results.size(); ++i) {
      PyList_SET_ITEM(outer, static_cast<Py_ssize_t>(i), to_python(results[i]));
    }
    return outer;
  });
}

}  // namespace tavrik::bindings
