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

float computed_squared_norm(const Point& point) { return squared_norm(point.vector); }

}  // namespace tavrik
