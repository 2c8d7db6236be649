#include "core/vector/point.h"

#include <string>

#include "core/distance/distance.h"
#include "core/distance/lane_kernels.h"

namespace tavrik {

bool matches_tenant(const Point& point, std::string_view tenant) {
  if (!point.payload) return false;
  const auto found = point.payload->find(std::string(kTenantKey));
  if (found == point.payload->end()) return false;
  const std::string* text = text_of(found->second);
  return text != nullptr && *text == tenant;
}

void cache_squared_norm(Point& point) { point.vector.cache(squared_norm(point.vector)); }

void cache_squared_norms(std::span<Point* const> points) {
  std::size_t next = 0;
  while (next < points.size()) {
    const std::size_t length = points[next]->vector.size();
    const float* lanes[kLaneCount] = {};
    std::size_t used = 0;
    while (next + used < points.size() && used < kLaneCount &&
           points[next + used]->vector.size() == length) {
      lanes[used] = points[next + used]->vector.data();
      ++used;
    }
    if (length == 0) {
      for (std::size_t l = 0; l < used; ++l) cache_squared_norm(*points[next + l]);
    } else {
      float squared_norms[kLaneCount];
      squared_norm_lanes(length, lanes, used, squared_norms);
      for (std::size_t l = 0; l < used; ++l) {
        points[next + l]->vector.cache(squared_norms[l]);
      }
    }
    next += used;
  }
}

float computed_squared_norm(const Point& point) { return squared_norm(point.vector); }

}  // namespace tavrik
