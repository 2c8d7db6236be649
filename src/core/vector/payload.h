// Payload values and payload maps.
//
// A payload value is one of four variants, and the variant's index is its
// discriminant in snapshots, so the order below must never change:
//   0 Keyword  text (made from strings of at most 64 UTF-8 bytes)
//   1 Text     text (made from longer strings)
//   2 Integer  signed 64-bit
//   3 Float    64-bit float
// Outside snapshots, Keyword and Text are treated alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "core/hashing/seeded_hash.h"

namespace tavrik {

struct Keyword {
  std::string text;
  bool operator==(const Keyword&) const = default;
};

struct Text {
  std::string text;
  bool operator==(const Text&) const = default;
};

struct Integer {
  std::int64_t value;
  bool operator==(const Integer&) const = default;
};

struct Float {
  double value;
  // Bitwise, so that NaN payloads and the sign of zero count.
  bool operator==(const Float& other) const;
};

using PayloadValue = std::variant<Keyword, Text, Integer, Float>;

// The longest UTF-8 text, in bytes, that becomes a Keyword.
inline constexpr std::size_t kKeywordMaxBytes = 64;

// The variant a Python string of this text becomes.
PayloadValue text_value(std::string text);

// The text of a Keyword or Text, or nullptr for the numeric variants.
const std::string* text_of(const PayloadValue& value);

using Payload = TextMap<PayloadValue>;

}  // namespace tavrik
