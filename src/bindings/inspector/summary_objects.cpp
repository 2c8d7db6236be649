#include "bindings/inspector/summary_objects.h"

#include <cstdint>
#include <string_view>

#include "bindings/call/owned_ref.h"
#include "bindings/call/python_error.h"

namespace tavrik::bindings {
namespace {

constexpr std::string_view kKindNames[] = {"Keyword", "Text", "Integer", "Float"};

OwnedRef number(std::uint64_t value) {
  return OwnedRef(checked(PyLong_FromUnsignedLongLong(value)));
}

OwnedRef text(std::string_view value) {
  return OwnedRef(
      checked(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()))));
}

void put(PyObject* dict, std::string_view key, OwnedRef value) {
  OwnedRef name = text(key);
  if (PyDict_SetItem(dict, name.get(), value.get()) < 0) throw PythonError{};
}

void put(PyObject* dict, OwnedRef key, OwnedRef value) {
  if (PyDict_SetItem(dict, key.get(), value.get()) < 0) throw PythonError{};
}

template <class Numbers>
OwnedRef number_list(const Numbers& values) {
  OwnedRef list(checked(PyList_New(0)));
  for (const std::uint64_t value : values) {
    OwnedRef item = number(value);
    if (PyList_Append(list.get(), item.get()) < 0) throw PythonError{};
  }
  return list;
}

OwnedRef graph_dict(const SnapshotSummary& summary) {
  const IndexHeader& graph = summary.graph;
  OwnedRef dict(checked(PyDict_New()));
  put(dict.get(), "nodes", number(summary.nodes));
  put(dict.get(), "entry_point",
      graph.entry_point ? number(*graph.entry_point) : OwnedRef(Py_NewRef(Py_None)));
  put(dict.get(), "max_level", number(graph.max_level));
  put(dict.get(), "m", number(graph.m));
  put(dict.get(), "ef_construction", number(graph.ef_construction));
  put(dict.get(), "ef_search", number(graph.ef_search));
  put(dict.get(), "links_per_layer", number_list(summary.links_per_layer));
  put(dict.get(), "linked_without_point", number_list(summary.linked_without_point));
  put(dict.get(), "linked_without_node", number_list(summary.linked_without_node));
  return dict;
}

}  // namespace

PyObject* info_dict(const SnapshotSummary& summary) {
  OwnedRef dict(checked(PyDict_New()));
  put(dict.get(), "points", number(summary.points));
  OwnedRef lengths(checked(PyDict_New()));
  for (const auto& [length, count] : summary.vector_lengths) {
    put(lengths.get(), number(length), number(count));
  }
  put(dict.get(), "vector_lengths", std::move(lengths));
  OwnedRef tenants(checked(PyDict_New()));
  for (const auto& [tenant, count] : summary.tenants) {
    put(tenants.get(), text(tenant), number(count));
  }
  put(dict.get(), "tenants", std::move(tenants));
  OwnedRef keys(checked(PyDict_New()));
  for (const auto& [key, counts] : summary.payload_keys) {
    OwnedRef kinds(checked(PyDict_New()));
    for (std::size_t kind = 0; kind < counts.size(); ++kind) {
      if (counts[kind] > 0) put(kinds.get(), kKindNames[kind], number(counts[kind]));
    }
    put(keys.get(), text(key), std::move(kinds));
  }
  put(dict.get(), "payload_keys", std::move(keys));
  put(dict.get(), "graph", graph_dict(summary));
  put(dict.get(), "file_bytes", number(summary.file_bytes));
  put(dict.get(), "trailing_bytes", number(summary.trailing_bytes));
  return dict.release();
}

PyObject* findings_list(const SnapshotSummary& summary) {
  OwnedRef list(checked(PyList_New(0)));
  for (const SnapshotFinding& finding : summary.findings) {
    OwnedRef item(checked(PyDict_New()));
    put(item.get(), "severity", text(finding.error ? "error" : "warning"));
    put(item.get(), "offset", number(finding.offset));
    put(item.get(), "message", text(finding.message));
    if (PyList_Append(list.get(), item.get()) < 0) throw PythonError{};
  }
  return list.release();
}

}  // namespace tavrik::bindings
