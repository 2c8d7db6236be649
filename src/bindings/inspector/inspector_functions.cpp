#include "bindings/inspector/inspector_functions.h"

#include <array>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "bindings/call/argument_binder.h"
#include "bindings/call/converters.h"
#include "bindings/call/owned_ref.h"
#include "bindings/call/python_error.h"
#include "bindings/inspector/point_cursor.h"
#include "bindings/inspector/summary_objects.h"
#include "storage/snapshot/snapshot_file.h"
#include "storage/snapshot/snapshot_summary.h"

namespace tavrik::bindings {
namespace {

constexpr std::string_view kSummarizeParameters[] = {"path"};
const Signature kSummarize{"summarize()", kSummarizeParameters, 1};
constexpr std::string_view kOpenParameters[] = {"path", "ids"};
const Signature kOpen{"open_points()", kOpenParameters, 2};
constexpr std::string_view kNextParameters[] = {"cursor", "count", "raw"};
const Signature kNext{"next_points()", kNextParameters, 3};

// Runs `body` with the bound arguments; no C++ exception leaves it.
template <std::size_t N, class Body>
PyObject* run(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
              PyObject* kwnames, Body&& body) {
  try {
    std::array<PyObject*, N> bound{};
    bind_arguments(signature, args, nargsf, kwnames, bound);
    return body(bound);
  } catch (const PythonError&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& failure) {
    PyErr_SetString(PyExc_RuntimeError, failure.what());
    return nullptr;
  }
}

PyObject* summarize(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return run<1>(kSummarize, args, nargsf, kwnames, [](auto& bound) {
    const std::string path = convert_path(bound[0]);
    SnapshotSummary summary;
    if (SnapshotStatus read = summarize_snapshot_file(path, summary); !read.is_ok()) {
      raise(PyExc_OSError, read.message());
    }
    OwnedRef result(checked(PyDict_New()));
    OwnedRef info(summary.decoded ? checked(info_dict(summary)) : Py_NewRef(Py_None));
    OwnedRef findings(checked(findings_list(summary)));
    OwnedRef load_error(Py_NewRef(Py_None));
    if (!summary.decoded) {
      const std::string text =
          SnapshotStatus::failure(SnapshotStage::Decode, summary.findings.front().message)
              .message();
      load_error = OwnedRef(checked(
          PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
    }
    if (PyDict_SetItemString(result.get(), "info", info.get()) < 0 ||
        PyDict_SetItemString(result.get(), "findings", findings.get()) < 0 ||
        PyDict_SetItemString(result.get(), "load_error", load_error.get()) < 0) {
      throw PythonError{};
    }
    return result.release();
  });
}

PyObject* open_points(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return run<2>(kOpen, args, nargsf, kwnames,
                [](auto& bound) { return open_point_cursor(bound[0], bound[1]); });
}

PyObject* next_points(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return run<3>(kNext, args, nargsf, kwnames, [](auto& bound) {
    const std::uint64_t count = convert_u64(bound[1]);
    const int raw = PyObject_IsTrue(bound[2]);
    if (raw < 0) throw PythonError{};
    return next_point_batch(bound[0], static_cast<std::size_t>(count), raw == 1);
  });
}

}  // namespace

PyMethodDef kInspectorFunctions[] = {
    {"summarize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(summarize)),
     METH_FASTCALL | METH_KEYWORDS,
     "summarize(path)\n--\n\nThe summary and findings of a snapshot file."},
    {"open_points", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_points)),
     METH_FASTCALL | METH_KEYWORDS,
     "open_points(path, ids)\n--\n\nA cursor over a snapshot's points."},
    {"next_points", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(next_points)),
     METH_FASTCALL | METH_KEYWORDS,
     "next_points(cursor, count, raw)\n--\n\nThe cursor's next points."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tavrik::bindings
