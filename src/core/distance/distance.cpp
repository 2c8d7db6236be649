#include "core/distance/distance.h"

#include <cmath>
#include <cstddef>

namespace tavrik {
namespace {

// The three sums cosine needs. Each has its own accumulator and receives its
// terms in index order, so a single loop gives the same bits as three passes.
struct CosineSums {
  float dot;
  float squared_norm_a;
  float squared_norm_b;
};

CosineSums cosine_sums(std::span<const float> a, std::span<const float> b) {
  CosineSums sums{-0.0f, -0.0f, -0.0f};
  for (std::size_t i = 0; i < a.size(); ++i) {
    const float dot_term = a[i] * b[i];
    const float a_term = a[i] * a[i];
    const float b_term = b[i] * b[i];
    sums.dot += dot_term;
    sums.squared_norm_a += a_term;
    sums.squared_norm_b += b_term;
  }
  return sums;
}

}  // namespace

const char* cosine_error_message(CosineError error) {
  switch (error) {
    case CosineError::DimensionMismatch:
      return "Dimension mismatch: Vector lengths must be structurally identical.";
    case CosineError::ZeroMagnitude:
      return "Vector magnitude mathematically cannot be zero during cosine normalization steps.";
    case CosineError::None:
      break;
  }
  return "";
}

CosineResult cosine_similarity(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) return {0.0f, CosineError::DimensionMismatch};
  const CosineSums sums = cosine_sums(a, b);
  return cosine_similarity_with_squared_norms(sums.dot, sums.squared_norm_a, sums.squared_norm_b);
}

CosineResult cosine_similarity_with_squared_norms(float dot, float squared_norm_a,
                                                  float squared_norm_b) {
  // Exact comparison: a NaN squared norm is not zero and goes on to the division.
  if (squared_norm_a == 0.0f || squared_norm_b == 0.0f) return {0.0f, CosineError::ZeroMagnitude};
  const float norm_a = std::sqrt(squared_norm_a);
  const float norm_b = std::sqrt(squared_norm_b);
  const float magnitude = norm_a * norm_b;
  return {dot / magnitude, CosineError::None};
}

float cosine_distance(std::span<const float> query, std::span<const float> stored) {
  const CosineResult result = cosine_similarity(query, stored);
  if (result.error != CosineError::None) return kUncomparableDistance;
  return 1.0f - result.similarity;
}

float cosine_distance_with_squared_norms(float dot, float squared_norm_a, float squared_norm_b) {
  const CosineResult result =
      cosine_similarity_with_squared_norms(dot, squared_norm_a, squared_norm_b);
  if (result.error != CosineError::None) return kUncomparableDistance;
  return 1.0f - result.similarity;
}

float squared_norm(std::span<const float> vector) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < vector.size(); ++i) {
    const float term = vector[i] * vector[i];
    sum += term;
  }
  return sum;
}

float dot_product(std::span<const float> query, std::span<const float> stored) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < query.size(); ++i) {
    const float term = query[i] * stored[i];
    sum += term;
  }
  return sum;
}

float euclidean_distance(std::span<const float> query, std::span<const float> stored) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < query.size(); ++i) {
    const float difference = query[i] - stored[i];
    const float term = difference * difference;
    sum += term;
  }
  return std::sqrt(sum);
}

}  // namespace tavrik
