// Converting Python argument values into owned native values.
//
// Every converter either returns the native value or leaves a Python
// exception set and throws PythonError. None keeps a reference to a Python
// object once it returns.
#pragma once

#include "bindings/compat/python_compat.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/vector/payload.h"

namespace tavrik::bindings {

// A str (or subclass) as UTF-8. Anything else: the cast error naming 'str';
// a lone surrogate: the host's UnicodeEncodeError.
std::string convert_text(PyObject* value);

// An int (or anything with __index__) in [0, 2^64). Negative or too large:
// the host's OverflowError; no __index__: the host's TypeError.
std::uint64_t convert_u64(PyObject* value);

// A sequence of numbers as 32-bit floats, each rounded to nearest from its
// 64-bit value (out-of-range values become infinities). A str is refused
// ("Can't extract `str` to `Vec`"), a non-sequence gets the cast error
// naming 'Sequence'; an element that is not a number stops the conversion
// with its own error.
std::vector<float> convert_f32_sequence(PyObject* value);

// A sequence of such sequences (same outer rules), each converted in turn.
std::vector<std::vector<float>> convert_f32_sequences(PyObject* value);

// None -> no payload; a dict (or subclass) -> its str keys with values
// converted as: str -> Keyword (<= 64 UTF-8 bytes) or Text, int -> Integer
// (signed 64-bit, else the host's OverflowError), float -> Float; values of
// any other type are left out. Anything but None or a dict gets the cast
// error naming 'dict' with the note for 'payload'; failures inside the walk
// (a key that is not a str, an unencodable text, an overflowing int) carry
// no note.
std::optional<Payload> convert_payload(PyObject* value);

// The nearest 32-bit float to `value`, infinities beyond the f32 range.
float round_to_f32(double value);

}  // namespace tavrik::bindings
