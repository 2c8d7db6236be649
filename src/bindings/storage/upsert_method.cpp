// VectorStorage.upsert(point_id, vector, payload): all three arguments are
// converted before the store is touched, so every failure leaves it as it
// was; then the segment stores the point and links it into the graph.
#include <cstdint>
#include <utility>

#include "bindings/call/converters.h"
#include "bindings/storage/method_frame.h"

namespace tavrik::bindings {
namespace {

constexpr std::string_view kParameters[] = {"point_id", "vector", "payload"};
const Signature kSignature{"VectorStorage.upsert()", kParameters, 3};

}  // namespace

PyObject* upsert_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
  return run_method<3>(self, kSignature, args, nargsf, kwnames, [](Segment& segment, auto& bound) {
    const std::uint64_t id = convert_argument("point_id", [&] { return convert_u64(bound[0]); });
    Point point;
    point.vector = convert_argument("vector", [&] { return convert_f32_sequence(bound[1]); });
    point.payload = convert_payload(bound[2]);
    run_or_abort([&] { segment.upsert(id, std::move(point)); });
    Py_RETURN_NONE;
  });
}

}  // namespace tavrik::bindings
