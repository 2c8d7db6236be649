// The points of a snapshot file for tavrik_snapshot's points(): a capsule
// that owns a PointStream (the file's bytes and the decoder's place in
// them), and the batches of points it hands out.
//
// A point becomes (key, vector, payload): the vector as a list of floats,
// or as a bytearray of its 32-bit floats in native order (for numpy to
// wrap without a copy); the payload as None or a dict whose keys come in
// byte order, Keyword and Text values as str, Integer as int, Float as float.
#pragma once

#include "bindings/compat/python_compat.h"

#include <cstddef>
#include <string>

namespace tavrik::bindings {

// A path argument (a str) as UTF-8; a failure carries the note for 'path'.
std::string convert_path(PyObject* path);

// Opens the snapshot at `path` (load's OSError texts on failure), keeping
// only the keys in `ids` unless it is None (each an int in [0, 2^64); a
// failure carries the note for 'ids').
PyObject* open_point_cursor(PyObject* path, PyObject* ids);

// Up to `count` further points as a list of tuples; an empty list at the
// end. RuntimeError when the cursor is in use by another thread.
PyObject* next_point_batch(PyObject* cursor, std::size_t count, bool raw_vectors);

}  // namespace tavrik::bindings
