#include "core/distance/lane_kernels.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tavrik {
namespace {

// Square ignores the query value: each lane squares its own components.
enum class Term { Product, SquaredDifference, Square };

// One f32 term of lane sums, the same operation in every lane.
template <Term kind>
inline float scalar_term(float q, float p) {
  if constexpr (kind == Term::Product) {
    return q * p;
  } else if constexpr (kind == Term::Square) {
    return p * p;
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
  } else if constexpr (kind == Term::Square) {
    return _mm_mul_ps(p, p);
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

#if defined(__x86_64__) || defined(__i386__)
#define TAVRIK_HAS_AVX2_KERNELS 1

template <Term kind>
__attribute__((target("avx2"))) inline __m256 packed_term_256(__m256 q, __m256 p) {
  if constexpr (kind == Term::Product) {
    return _mm256_mul_ps(q, p);
  } else if constexpr (kind == Term::Square) {
    return _mm256_mul_ps(p, p);
  } else {
    const __m256 difference = _mm256_sub_ps(q, p);
    return _mm256_mul_ps(difference, difference);
  }
}

// Sixteen vectors in the eight lanes of two 256-bit registers (AVX2 only,
// no FMA). Register g holds vectors 8g..8g+7: its low half four dimensions
// of vectors 8g..8g+3, its high half the same dimensions of 8g+4..8g+7,
// transposed within each half so that one register holds one dimension of
// eight vectors. Each lane then adds its terms in index order, as above.
template <Term kind>
__attribute__((target("avx2"))) void sums_avx2(std::span<const float> query,
                                               const float* const* stored, float* out) {
  constexpr int kGroups = 2;
  __m256 sums[kGroups];
  for (int g = 0; g < kGroups; ++g) sums[g] = _mm256_set1_ps(-0.0f);
  const std::size_t n = query.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m256 columns[kGroups][4];
    for (int g = 0; g < kGroups; ++g) {
      const float* const* s = stored + 8 * g;
      __m256 r[4];
      for (int j = 0; j < 4; ++j) {
        r[j] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(s[j] + i)),
                                    _mm_loadu_ps(s[j + 4] + i), 1);
      }
      const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
      const __m256 t1 = _mm256_unpacklo_ps(r[2], r[3]);
      const __m256 t2 = _mm256_unpackhi_ps(r[0], r[1]);
      const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
      columns[g][0] = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0));
      columns[g][1] = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2));
      columns[g][2] = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0));
      columns[g][3] = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2));
    }
    for (int k = 0; k < 4; ++k) {
      const __m256 q = _mm256_set1_ps(query[i + static_cast<std::size_t>(k)]);
      for (int g = 0; g < kGroups; ++g) {
        sums[g] = _mm256_add_ps(sums[g], packed_term_256<kind>(q, columns[g][k]));
      }
    }
  }
  for (; i < n; ++i) {
    const __m256 q = _mm256_set1_ps(query[i]);
    for (int g = 0; g < kGroups; ++g) {
      const float* const* s = stored + 8 * g;
      const __m256 p = _mm256_setr_ps(s[0][i], s[1][i], s[2][i], s[3][i], s[4][i], s[5][i],
                                      s[6][i], s[7][i]);
      sums[g] = _mm256_add_ps(sums[g], packed_term_256<kind>(q, p));
    }
  }
  for (int g = 0; g < kGroups; ++g) _mm256_storeu_ps(out + 8 * g, sums[g]);
}

bool cpu_has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

#endif

// Runs `kernel` on `width` lanes: the unused lanes repeat the first vector
// and their results are dropped.
template <std::size_t width, class Kernel>
void padded(const float* const* stored, std::size_t count, float* out, Kernel kernel) {
  if (count == width) {
    kernel(stored, out);
    return;
  }
  const float* lanes[width];
  for (std::size_t l = 0; l < width; ++l) lanes[l] = stored[l < count ? l : 0];
  float all[width];
  kernel(lanes, all);
  for (std::size_t l = 0; l < count; ++l) out[l] = all[l];
}

template <Term kind>
void sums(std::span<const float> query, const float* const* stored, std::size_t count,
          float* out) {
  static_assert(kLaneCount == 16);
  if (count <= 1) {
    sums_plain<kind>(query, stored, count, out);
    return;
  }
#if defined(TAVRIK_HAS_AVX2_KERNELS)
  if (count > 8 && cpu_has_avx2()) {
    padded<16>(stored, count, out,
               [&](const float* const* lanes, float* o) { sums_avx2<kind>(query, lanes, o); });
    return;
  }
#endif
  const std::size_t groups = (count + 3) / 4;
  auto packed = [&]<int kGroups>() {
    padded<4 * kGroups>(stored, count, out, [&](const float* const* lanes, float* o) {
      sums_packed<kind, kGroups>(query, lanes, o);
    });
  };
  switch (groups) {
    case 1: packed.template operator()<1>(); break;
    case 2: packed.template operator()<2>(); break;
    case 3: packed.template operator()<3>(); break;
    default: packed.template operator()<4>(); break;
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

bool lane_kernels_use_avx2() {
#if defined(TAVRIK_HAS_AVX2_KERNELS)
  return cpu_has_avx2();
#else
  return false;
#endif
}

void dot_product_lanes(std::span<const float> query, const float* const* stored,
                       std::size_t count, float* out) {
  sums<Term::Product>(query, stored, count, out);
}

void euclidean_distance_lanes(std::span<const float> query, const float* const* stored,
                              std::size_t count, float* out) {
  sums<Term::SquaredDifference>(query, stored, count, out);
  for (std::size_t l = 0; l < count; ++l) out[l] = std::sqrt(out[l]);
}

void squared_norm_lanes(std::size_t length, const float* const* stored, std::size_t count,
                        float* out) {
  if (count == 0) return;
  // The first vector stands in for the query: it only gives the length, as
  // Square terms never read the query's values.
  sums<Term::Square>({stored[0], length}, stored, count, out);
}

void cosine_quotient_lanes(const float* dots, float query_root, const float* norms,
                           std::size_t count, float* out) {
#if defined(__SSE2__)
  // Four lanes per step; a partial step works on copies padded with ones.
  float padded_dots[kLaneCount] = {};
  float padded_norms[kLaneCount];
  float quotients[kLaneCount];
  for (std::size_t l = 0; l < kLaneCount; ++l) {
    padded_dots[l] = l < count ? dots[l] : 0.0f;
    padded_norms[l] = l < count ? norms[l] : 1.0f;
  }
  const __m128 root = _mm_set1_ps(query_root);
  for (std::size_t l = 0; l < count; l += 4) {
    const __m128 magnitude = _mm_mul_ps(root, _mm_sqrt_ps(_mm_loadu_ps(padded_norms + l)));
    _mm_storeu_ps(quotients + l, _mm_div_ps(_mm_loadu_ps(padded_dots + l), magnitude));
  }
  for (std::size_t l = 0; l < count; ++l) out[l] = quotients[l];
#else
  for (std::size_t l = 0; l < count; ++l) out[l] = dots[l] / (query_root * std::sqrt(norms[l]));
#endif
}

}  // namespace tavrik
