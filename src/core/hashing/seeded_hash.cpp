#include "core/hashing/seeded_hash.h"

#include <cstring>

#include "core/random/os_random.h"

namespace tavrik {

HashKeys HashKeys::fresh() noexcept {
  HashKeys keys{};
  fill_os_random(&keys, sizeof keys);
  return keys;
}

std::size_t TextHasher::operator()(std::string_view text) const noexcept {
  std::uint64_t h = keys_.k0 ^ (text.size() * kGoldenMultiplier);
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    h = mix_bits(h ^ (word * kGoldenMultiplier) ^ keys_.k1);
  }
  std::uint64_t tail = 0;
  if (i < text.size()) std::memcpy(&tail, text.data() + i, text.size() - i);
  return static_cast<std::size_t>(mix_bits(h ^ (tail * kGoldenMultiplier) ^ keys_.k1));
}

}  // namespace tavrik
