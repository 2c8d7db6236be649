// A snapshot's summary as Python objects, for tavrik_snapshot's info() and
// check(). Each builder returns a new reference or throws PythonError.
//
//   info_dict      {"points", "vector_lengths", "tenants", "payload_keys",
//                   "graph": {"nodes", "entry_point", "max_level", "m",
//                   "ef_construction", "ef_search", "links_per_layer",
//                   "linked_without_point", "linked_without_node"},
//                   "file_bytes", "trailing_bytes"}; payload kinds are named
//                   "Keyword", "Text", "Integer" and "Float".
//   findings_list  [{"severity": "error" | "warning", "offset", "message"}]
#pragma once

#include "bindings/compat/python_compat.h"

#include "storage/snapshot/snapshot_summary.h"

namespace tavrik::bindings {

PyObject* info_dict(const SnapshotSummary& summary);
PyObject* findings_list(const SnapshotSummary& summary);

}  // namespace tavrik::bindings
