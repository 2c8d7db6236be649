// One query against several stored vectors at once.
//
// Each stored vector gets its own lane: its own accumulator from -0.0f,
// its terms added in index order 0..n-1, every product or squared
// difference rounded to f32 before it is added. A lane's result therefore
// has exactly the bits of dot_product or euclidean_distance for that one
// vector; running lanes side by side only hides the latency of each
// addition behind the others. Nothing is summed across lanes.
#pragma once

#include <cstddef>
#include <span>

namespace tavrik {

// The most vectors one call scores. Sixteen vectors keep several lane
// groups in flight, which hides the latency of each lane's additions.
inline constexpr std::size_t kLaneCount = 16;

// out[l] = dot_product(query, {stored[l], query.size()}) for l < count.
// count <= kLaneCount; each stored[l] holds at least query.size() floats.
void dot_product_lanes(std::span<const float> query, const float* const* stored,
                       std::size_t count, float* out);

// out[l] = euclidean_distance(query, {stored[l], query.size()}) for l < count,
// under the same conditions.
void euclidean_distance_lanes(std::span<const float> query, const float* const* stored,
                              std::size_t count, float* out);

// out[l] = squared_norm({stored[l], length}) for l < count <= kLaneCount:
// each lane squares and adds its own vector's components in index order.
void squared_norm_lanes(std::size_t length, const float* const* stored, std::size_t count,
                        float* out);

// out[l] = dot_product({queries[l], length}, {stored[l], length}) for
// l < count <= kLaneCount: each lane its own pair of vectors, so several
// queries are scored side by side. Each queries[l] and stored[l] holds at
// least `length` floats.
void dot_product_pair_lanes(const float* const* queries, std::size_t length,
                            const float* const* stored, std::size_t count, float* out);

// out[l] = dots[l] / (query_norms[l] * sqrt(squared_norms[l])) for l <
// count <= kLaneCount: the cosine quotient with each query's norm (the
// square root of its squared norm) taken once. Each lane rounds its square
// root, product and quotient to f32 exactly as the scalar expressions do.
// Lanes whose squared norm is zero or negative get whatever IEEE arithmetic
// gives; callers test for those first.
void cosine_quotient_lanes(const float* dots, const float* query_norms,
                           const float* squared_norms, std::size_t count, float* out);

}  // namespace tavrik
