#include "core/vector/point.h"

#include <string>

namespace tavrik {

bool matches_tenant(const Point& point, std::string_view tenant) {
  if (!point.payload) return false;
  const auto found = point.payload->find(std::string(kTenantKey));
  if (found == point.payload->end()) return false;
  const std::string* text = text_of(found->second);
  return text != nullptr && *text == tenant;
}

}  // namespace tavrik
