// The metric a search ranks by.
//
// DotProduct and Cosine are similarities (larger is better, ranked
// descending); Euclidean is a distance (smaller is better, ranked ascending).
#pragma once

#include <cstdint>

namespace tavrik {

enum class Metric : std::uint8_t {
  DotProduct = 0,
  Cosine = 1,
  Euclidean = 2,
};

inline bool ranks_ascending(Metric metric) { return metric == Metric::Euclidean; }

}  // namespace tavrik
