// Hashers with random keys of their own.
//
// Every hash table of the store (points, payload keys, graph nodes) gets a
// hasher whose keys come fresh from the OS random source when the table is
// created, so iteration order differs between tables and between processes.
// Nothing may depend on that order. Copies of a table keep its keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/hashing/mixing.h"

namespace tavrik {

struct HashKeys {
  std::uint64_t k0;
  std::uint64_t k1;
  static HashKeys fresh() noexcept;
};

class IdHasher {
 public:
  IdHasher() noexcept : keys_(HashKeys::fresh()) {}
  // Inline: every table probe hashes, and walks probe per neighbour.
  std::size_t operator()(std::uint64_t id) const noexcept {
    return static_cast<std::size_t>(mix_bits((id ^ keys_.k0) * kGoldenMultiplier + keys_.k1));
  }

 private:
  HashKeys keys_;
};

class TextHasher {
 public:
  TextHasher() noexcept : keys_(HashKeys::fresh()) {}
  std::size_t operator()(std::string_view text) const noexcept;

 private:
  HashKeys keys_;
};

template <class Value>
using TextMap = std::unordered_map<std::string, Value, TextHasher>;

}  // namespace tavrik
