// One search result: the stored point's id and its score under the metric.
#pragma once

#include <cstdint>

namespace tavrik {

struct ScoredPoint {
  std::uint64_t id;
  float score;
};

}  // namespace tavrik
