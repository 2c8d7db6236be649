#include "index/hnsw/level_draw.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/random/chacha_rng.h"
#include "index/hnsw/hnsw_index.h"

namespace tavrik {
namespace {

constexpr std::uint64_t kTopLevel = MAX_LAYERS - 1;

// y truncated toward zero into an unsigned 64-bit value, saturating: negative
// and NaN give 0, 2^64 and above (infinity included) give the largest value.
// Converting such values with a plain cast would be undefined.
std::uint64_t saturating_truncate(double y) {
  if (!(y > 0.0)) return 0;
  if (y >= 0x1p64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(y);
}

}  // namespace

std::uint64_t level_for_draw(std::uint64_t x, std::uint64_t m) {
  const double u = static_cast<double>(x >> 11) * 0x1p-53;
  if (u == 0.0) return kTopLevel;
  const double f = -1.0 / std::log(static_cast<double>(m));
  const double y = std::log(u) * f;
  return std::min(kTopLevel, saturating_truncate(y));
}

std::uint64_t draw_level(std::uint64_t m) {
  thread_local ChaChaRng generator = ChaChaRng::from_os_random();
  return level_for_draw(generator.next_u64(), m);
}

}  // namespace tavrik
