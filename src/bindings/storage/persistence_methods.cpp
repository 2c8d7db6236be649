// VectorStorage.save(path) and VectorStorage.load(path): the segment does
// the work and reports failures as complete texts, raised here as OSError
// built from the message alone (so errno and strerror stay None).
#include <string>

#include "bindings/call/converters.h"
#include "bindings/storage/method_frame.h"

namespace tavrik::bindings {
namespace {

constexpr std::string_view kParameters[] = {"path"};
const Signature kSaveSignature{"VectorStorage.save()", kParameters, 1};
const Signature kLoadSignature{"VectorStorage.load()", kParameters, 1};

PyObject* none_or_raise(const SnapshotStatus& status) {
  if (!status.is_ok()) raise(PyExc_OSError, status.message());
  Py_RETURN_NONE;
}

}  // namespace

PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
  return run_method<1>(self, kSaveSignature, args, nargsf, kwnames,
                       [](Segment& segment, auto& bound) {
    const std::string path = convert_argument("path", [&] { return convert_text(bound[0]); });
    return none_or_raise(run_or_abort([&] { return segment.save_to_disk(path); }));
  });
}

PyObject* load_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
  return run_method<1>(self, kLoadSignature, args, nargsf, kwnames,
                       [](Segment& segment, auto& bound) {
    const std::string path = convert_argument("path", [&] { return convert_text(bound[0]); });
    return none_or_raise(run_or_abort([&] { return segment.load_from_disk(path); }));
  });
}

}  // namespace tavrik::bindings
