#include "core/hashing/seeded_hash.h"

#include <cstring>

#include "core/random/os_random.h"

namespace tavrik {
namespace {

constexpr std::uint64_t kMul1 = 0x9E3779B97F4A7C15ULL;
constexpr std::uint64_t kMul2 = 0xBF58476D1CE4E5B9ULL;
constexpr std::uint64_t kMul3 = 0x94D049BB133111EBULL;

std::uint64_t finish(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= kMul2;
  x ^= x >> 27;
  x *= kMul3;
  x ^= x >> 31;
  return x;
}

}  // namespace

HashKeys HashKeys::fresh() noexcept {
  HashKeys keys{};
  fill_os_random(&keys, sizeof keys);
  return keys;
}

std::size_t TextHasher::operator()(std::string_view text) const noexcept {
  std::uint64_t h = keys_.k0 ^ (text.size() * kMul1);
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    h = finish(h ^ (word * kMul1) ^ keys_.k1);
  }
  std::uint64_t tail = 0;
  if (i < text.size()) std::memcpy(&tail, text.data() + i, text.size() - i);
  return static_cast<std::size_t>(finish(h ^ (tail * kMul1) ^ keys_.k1));
}

}  // namespace tavrik
