// Similarity and distance kernels over 32-bit float vectors.
//
// Every sum here follows one rule, so that scores are reproducible bit for
// bit: a single f32 accumulator starting at -0.0f, terms added strictly in
// index order 0..n-1, each product or squared difference rounded to f32
// before it is added (no fused multiply-add, no reassociation, no multi-lane
// partial sums within one vector). An empty sum is therefore -0.0f.
// Faster code is allowed only where it gives exactly these bits.
#pragma once

#include <span>

namespace tavrik {

// Largest finite f32: the distance given to vectors that cannot be compared.
inline constexpr float kUncomparableDistance = 3.4028235e38f;

enum class CosineError {
  None,
  DimensionMismatch,
  ZeroMagnitude,
};

// The error's message text.
const char* cosine_error_message(CosineError error);

struct CosineResult {
  float similarity;   // meaningful only when error == None
  CosineError error;
};

// dot / (sqrt(na) * sqrt(nb)), na and nb the squared norms: each norm (the
// square root) in f32, the norms multiplied in f32, then the division.
// Lengths are checked first (DimensionMismatch), then the squared norms are
// compared exactly with zero (ZeroMagnitude; a NaN squared norm passes).
// Not clamped to [-1, 1].
CosineResult cosine_similarity(std::span<const float> a, std::span<const float> b);

// 1 - cosine_similarity in f32, or kUncomparableDistance on either error.
float cosine_distance(std::span<const float> query, std::span<const float> stored);

// Sum of v[i]*v[i]: the squared norm cosine_similarity computes for each of
// its vectors. A vector's squared norm is the same against every other
// vector, so callers may compute it once and keep it.
float squared_norm(std::span<const float> vector);

// The last steps of cosine_similarity, from its three sums: for vectors of
// equal length (callers check the lengths first, as cosine_similarity
// does), cosine_similarity(a, b) is exactly
// cosine_similarity_with_squared_norms(dot_product(a, b), squared_norm(a),
// squared_norm(b)), errors included.
CosineResult cosine_similarity_with_squared_norms(float dot, float squared_norm_a,
                                                  float squared_norm_b);

// 1 - cosine_similarity_with_squared_norms, or kUncomparableDistance on its error.
float cosine_distance_with_squared_norms(float dot, float squared_norm_a, float squared_norm_b);

// Sum of q[i]*p[i]. Lengths must be equal (callers check).
float dot_product(std::span<const float> query, std::span<const float> stored);

// sqrt of the sum of (q[i]-p[i])^2, root in f32. Lengths must be equal.
float euclidean_distance(std::span<const float> query, std::span<const float> stored);

}  // namespace tavrik
