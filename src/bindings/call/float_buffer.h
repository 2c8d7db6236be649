// Reading float vectors straight out of an object's buffer.
//
// A numpy array, an array.array or a memoryview of C floats ('f') or C
// doubles ('d') holds its numbers in one block of memory. Iterating such an
// object yields exactly those numbers, one Python object each; reading the
// block gives the same values without creating any object. Only the exact
// types above are read this way: a subclass may change what iteration
// yields, and any other type (bytes, integer arrays, other formats) is left
// to element-by-element conversion.
//
// Each value is the one the element path would store: a double is rounded
// with round_to_f32, a float goes through the same widening to double and
// rounding back (which only quiets a signalling NaN).
#pragma once

#include "bindings/compat/python_compat.h"

#include <optional>
#include <vector>

namespace tavrik::bindings {

// The floats of a one-dimensional trusted buffer (contiguous or strided, in
// either direction), or nothing when `value` is not one; then no error is
// set and the caller iterates `value` instead.
std::optional<std::vector<float>> read_float_buffer(PyObject* value);

// The rows of a two-dimensional numpy array of 'f' or 'd' as vectors, the
// values the row-by-row path gives; nothing (no error set) for anything else.
std::optional<std::vector<std::vector<float>>> read_float_rows(PyObject* value);

}  // namespace tavrik::bindings
