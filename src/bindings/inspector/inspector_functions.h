// The functions of the native module tavrik_snapshot._native, which the
// tavrik_snapshot package wraps. All take their arguments by position:
//   summarize(path)                   {"info": dict | None, "findings": list,
//                                     "load_error": str | None}; when load
//                                     would fail, info is None and
//                                     load_error holds load's text
//   open_points(path, ids)            a cursor over the points load keeps
//   next_points(cursor, count, raw)   the cursor's next points, [] at the end
// File errors are raised as OSError with load's texts; open_points raises
// load's decode error too. Nothing here writes a file or builds a store.
#pragma once

#include "bindings/compat/python_compat.h"

namespace tavrik::bindings {

// Ends with a zeroed entry.
extern PyMethodDef kInspectorFunctions[];

}  // namespace tavrik::bindings
