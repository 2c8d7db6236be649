// The stored point and the point table.
//
// A point is a vector of 32-bit floats of any length (zero included; points
// of different lengths live side by side) and an optional payload, stored
// under its unsigned 64-bit id in a point table (point_table.h). An absent
// payload and an empty one are distinct.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/vector/boxed_optional.h"
#include "core/vector/float_array.h"
#include "core/vector/payload.h"

namespace tavrik {

struct Point {
  // Length and components in one block, which also caches the vector's
  // squared norm (derived, never persisted): the point stays two words.
  FloatArray vector;
  // Absent and empty are distinct; an absent payload costs one pointer.
  BoxedOptional<Payload> payload;
};

// Stores squared_norm(point.vector) in the vector's block, where it stays
// until the vector is replaced (a new vector starts with none). Done for
// every point that enters a point table through upsert or a snapshot.
void cache_squared_norm(Point& point);

// cache_squared_norm for every point of the list, with the same bits; runs
// of points whose vectors have the same length are summed side by side, one
// lane each.
void cache_squared_norms(std::span<Point* const> points);

// squared_norm(point.vector): the cached value, or computed now when none
// was cached (a squared norm that happens to have the unknown pattern is
// simply recomputed, to the same bits).
inline float squared_norm_of(const Point& point);

// The payload key that names a point's tenant.
inline constexpr std::string_view kTenantKey = "tenant_id";

// True when the point's payload holds, under "tenant_id", a Keyword or Text
// byte-equal to `tenant`. Numbers never match; a point without payload, or
// without the key, belongs to no tenant.
bool matches_tenant(const Point& point, std::string_view tenant);

// squared_norm(point.vector), computed now.
float computed_squared_norm(const Point& point);

inline float squared_norm_of(const Point& point) {
  const float cached = point.vector.cached();
  if (std::bit_cast<std::uint32_t>(cached) != kUnknownSquaredNormBits) return cached;
  return computed_squared_norm(point);
}

}  // namespace tavrik
