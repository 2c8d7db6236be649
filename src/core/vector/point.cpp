#include "core/vector/point.h"

#include <string>

#include "core/distance/distance.h"

namespace tavrik {

bool matches_tenant(const Point& point, std::string_view tenant) {
  if (!point.payload) return false;
  const auto found = point.payload->find(std::string(kTenantKey));
  if (found == point.payload->end()) return false;
  const std::string* text = text_of(found->second);
  return text != nullptr && *text == tenant;
}

void cache_squared_norm(Point& point) { point.cached_squared_norm = squared_norm(point.vector); }

float squared_norm_of(const Point& point) {
  if (std::bit_cast<std::uint32_t>(point.cached_squared_norm) != kUnknownSquaredNormBits) {
    return point.cached_squared_norm;
  }
  return squared_norm(point.vector);
}

}  // namespace tavrik
