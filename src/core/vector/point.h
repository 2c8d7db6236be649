// The stored point and the point table.
//
// A point is an unsigned 64-bit id, a vector of 32-bit floats of any length
// (zero included; points of different lengths live side by side) and an
// optional payload. An absent payload and an empty one are distinct.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/hashing/seeded_hash.h"
#include "core/vector/payload.h"

namespace tavrik {

struct Point {
  std::uint64_t id = 0;
  std::vector<float> vector;
  std::optional<Payload> payload;
};

// Point id -> point. Each key equals its point's id, as long as points come
// in through upsert (a loaded snapshot is taken as it is).
using PointTable = IdMap<Point>;

// The payload key that names a point's tenant.
inline constexpr std::string_view kTenantKey = "tenant_id";

// True when the point's payload holds, under "tenant_id", a Keyword or Text
// byte-equal to `tenant`. Numbers never match; a point without payload, or
// without the key, belongs to no tenant.
bool matches_tenant(const Point& point, std::string_view tenant);

}  // namespace tavrik
