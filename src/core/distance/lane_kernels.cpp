#include "core/distance/lane_kernels.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

namespace tavrik {
namespace {

enum class Term { Product, SquaredDifference };

// One f32 term of lane sums, the same operation in every lane.
template <Term kind>
inline float scalar_term(float q, float p) {
  if constexpr (kind == Term::Product) {
    return q * p;
  } else {
    const float difference = q - p;
    return difference * difference;
  }
}

// Plain lanes: kLaneCount independent accumulators, any count.
template <Term kind>
void sums_plain(std::span<const float> query, const float* const* stored, std::size_t count,
                float* out) {
  float sums[kLaneCount];
  for (std::size_t l = 0; l < count; ++l) sums[l] = -0.0f;
  for (std::size_t i = 0; i < query.size(); ++i) {
    const float q = query[i];
    for (std::size_t l = 0; l < count; ++l) {
      const float term = scalar_term<kind>(q, stored[l][i]);
      sums[l] += term;
    }
  }
  for (std::size_t l = 0; l < count; ++l) out[l] = sums[l];
}

#if defined(__SSE2__)

template <Term kind>
inline __m128 packed_term(__m128 q, __m128 p) {
  if constexpr (kind == Term::Product) {
    return _mm_mul_ps(q, p);
  } else {
    const __m128 difference = _mm_sub_ps(q, p);
    return _mm_mul_ps(difference, difference);
  }
}

// Four vectors in the four lanes of one register, eight in two registers.
// Four dimensions at a time are loaded from each vector and transposed, so
// that one register holds dimension i of every vector; the terms of
// dimensions i, i+1, i+2, i+3 are then added one after another, in order.
template <Term kind, int kGroups>
void sums_packed(std::span<const float> query, const float* const* stored, float* out) {
  __m128 sums[kGroups];
  for (int g = 0; g < kGroups; ++g) sums[g] = _mm_set1_ps(-0.0f);
  const std::size_t n = query.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128 columns[kGroups][4];
    for (int g = 0; g < kGroups; ++g) {
      __m128 r0 = _mm_loadu_ps(stored[4 * g + 0] + i);
      __m128 r1 = _mm_loadu_ps(stored[4 * g + 1] + i);
      __m128 r2 = _mm_loadu_ps(stored[4 * g + 2] + i);
      __m128 r3 = _mm_loadu_ps(stored[4 * g + 3] + i);
      _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
      columns[g][0] = r0;
      columns[g][1] = r1;
      columns[g][2] = r2;
      columns[g][3] = r3;
    }
    for (int k = 0; k < 4; ++k) {
      const __m128 q = _mm_set1_ps(query[i + static_cast<std::size_t>(k)]);
      for (int g = 0; g < kGroups; ++g) {
        sums[g] = _mm_add_ps(sums[g], packed_term<kind>(q, columns[g][k]));
      }
    }
  }
  for (; i < n; ++i) {
    const __m128 q = _mm_set1_ps(query[i]);
    for (int g = 0; g < kGroups; ++g) {
      const __m128 p = _mm_setr_ps(stored[4 * g + 0][i], stored[4 * g + 1][i],
                                   stored[4 * g + 2][i], stored[4 * g + 3][i]);
      sums[g] = _mm_add_ps(sums[g], packed_term<kind>(q, p));
    }
  }
  for (int g = 0; g < kGroups; ++g) _mm_storeu_ps(out + 4 * g, sums[g]);
}

template <Term kind>
void sums(std::span<const float> query, const float* const* stored, std::size_t count,
          float* out) {
  if (count == kLaneCount) {
    sums_packed<kind, 2>(query, stored, out);
  } else if (count == 4) {
    sums_packed<kind, 1>(query, stored, out);
  } else if (count > 4) {
    // Fill the unused lanes with the first vector and drop their results.
    const float* padded[kLaneCount];
    for (std::size_t l = 0; l < kLaneCount; ++l) padded[l] = stored[l < count ? l : 0];
    float all[kLaneCount];
    sums_packed<kind, 2>(query, padded, all);
    for (std::size_t l = 0; l < count; ++l) out[l] = all[l];
  } else if (count > 1) {
    const float* padded[4];
    for (std::size_t l = 0; l < 4; ++l) padded[l] = stored[l < count ? l : 0];
    float all[4];
    sums_packed<kind, 1>(query, padded, all);
    for (std::size_t l = 0; l < count; ++l) out[l] = all[l];
  } else {
    sums_plain<kind>(query, stored, count, out);
  }
}

#else

template <Term kind>
void sums(std::span<const float> query, const float* const* stored, std::size_t count,
          float* out) {
  sums_plain<kind>(query, stored, count, out);
}

#endif

}  // namespace

void dot_product_lanes(std::span<const float> query, const float* const* stored,
                       std::size_t count, float* out) {
  sums<Term::Product>(query, stored, count, out);
}

void euclidean_distance_lanes(std::span<const float> query, const float* const* stored,
                              std::size_t count, float* out) {
  sums<Term::SquaredDifference>(query, stored, count, out);
  for (std::size_t l = 0; l < count; ++l) out[l] = std::sqrt(out[l]);
}

}  // namespace tavrik
