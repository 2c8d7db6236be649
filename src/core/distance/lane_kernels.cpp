#include "core/distance/lane_kernels.h"

#include <cmath>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include "core/distance/cpu_features.h"
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

// Where the lanes' query values come from: one query shared by every lane,
// or a query of its own for each lane. Either way a lane reads element i of
// its query for its term i.
struct OneQuery {
  const float* values;
  float at(std::size_t /*lane*/, std::size_t i) const { return values[i]; }
  const float* row(std::size_t /*lane*/) const { return values; }
};
struct QueryPerLane {
  const float* const* values;
  float at(std::size_t lane, std::size_t i) const { return values[lane][i]; }
  const float* row(std::size_t lane) const { return values[lane]; }
};

// Plain lanes: kLaneCount independent accumulators, any count.
template <Term kind, class Queries>
void sums_plain(const Queries& queries, std::size_t n, const float* const* stored,
                std::size_t count, float* out) {
  float sums[kLaneCount];
  for (std::size_t l = 0; l < count; ++l) sums[l] = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t l = 0; l < count; ++l) {
      const float term = scalar_term<kind>(queries.at(l, i), stored[l][i]);
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

// Four rows of four floats, starting at element i of each, transposed so
// that column k holds element i + k of every row.
inline void load_columns(const float* r0, const float* r1, const float* r2, const float* r3,
                         std::size_t i, __m128 (&columns)[4]) {
  columns[0] = _mm_loadu_ps(r0 + i);
  columns[1] = _mm_loadu_ps(r1 + i);
  columns[2] = _mm_loadu_ps(r2 + i);
  columns[3] = _mm_loadu_ps(r3 + i);
  _MM_TRANSPOSE4_PS(columns[0], columns[1], columns[2], columns[3]);
}

// Four vectors in the four lanes of one register, eight in two registers.
// Four dimensions at a time are loaded from each vector and transposed, so
// that one register holds dimension i of every vector; the terms of
// dimensions i, i+1, i+2, i+3 are then added one after another, in order.
// Per-lane queries are transposed the same way; a shared one is broadcast.
template <Term kind, int kGroups, class Queries>
void sums_packed(const Queries& queries, std::size_t n, const float* const* stored, float* out) {
  constexpr bool kPerLane = std::is_same_v<Queries, QueryPerLane>;
  __m128 sums[kGroups];
  for (int g = 0; g < kGroups; ++g) sums[g] = _mm_set1_ps(-0.0f);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128 columns[kGroups][4];
    for (int g = 0; g < kGroups; ++g) {
      const float* const* s = stored + 4 * g;
      load_columns(s[0], s[1], s[2], s[3], i, columns[g]);
    }
    [[maybe_unused]] __m128 query_columns[kGroups][4];
    if constexpr (kPerLane) {
      for (int g = 0; g < kGroups; ++g) {
        const float* const* q = queries.values + 4 * g;
        load_columns(q[0], q[1], q[2], q[3], i, query_columns[g]);
      }
    }
    for (int k = 0; k < 4; ++k) {
      if constexpr (kPerLane) {
        for (int g = 0; g < kGroups; ++g) {
          sums[g] = _mm_add_ps(sums[g], packed_term<kind>(query_columns[g][k], columns[g][k]));
        }
      } else {
        const __m128 q = _mm_set1_ps(queries.values[i + static_cast<std::size_t>(k)]);
        for (int g = 0; g < kGroups; ++g) {
          sums[g] = _mm_add_ps(sums[g], packed_term<kind>(q, columns[g][k]));
        }
      }
    }
  }
  for (; i < n; ++i) {
    for (int g = 0; g < kGroups; ++g) {
      const std::size_t l = 4 * static_cast<std::size_t>(g);
      const __m128 q = _mm_setr_ps(queries.at(l, i), queries.at(l + 1, i),
                                   queries.at(l + 2, i), queries.at(l + 3, i));
      const __m128 p = _mm_setr_ps(stored[l][i], stored[l + 1][i], stored[l + 2][i],
                                   stored[l + 3][i]);
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

// Eight rows of four floats from element i, in one register per column:
// the low half holds rows 0..3, the high half rows 4..7.
__attribute__((target("avx2"))) inline void load_columns_256(const float* const* rows,
                                                             std::size_t i,
                                                             __m256 (&columns)[4]) {
  __m256 r[4];
  for (int j = 0; j < 4; ++j) {
    r[j] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rows[j] + i)),
                                _mm_loadu_ps(rows[j + 4] + i), 1);
  }
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
  const __m256 t1 = _mm256_unpacklo_ps(r[2], r[3]);
  const __m256 t2 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
  columns[0] = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0));
  columns[1] = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2));
  columns[2] = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0));
  columns[3] = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2));
}

// Sixteen vectors in the eight lanes of two 256-bit registers (AVX2 only,
// no FMA). Register g holds vectors 8g..8g+7: its low half four dimensions
// of vectors 8g..8g+3, its high half the same dimensions of 8g+4..8g+7,
// transposed within each half so that one register holds one dimension of
// eight vectors. Each lane then adds its terms in index order, as above.
template <Term kind, class Queries>
__attribute__((target("avx2"))) void sums_avx2(const Queries& queries, std::size_t n,
                                               const float* const* stored, float* out) {
  constexpr bool kPerLane = std::is_same_v<Queries, QueryPerLane>;
  constexpr int kGroups = 2;
  __m256 sums[kGroups];
  for (int g = 0; g < kGroups; ++g) sums[g] = _mm256_set1_ps(-0.0f);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    if constexpr (kPerLane) {
      // A group at a time: its own query columns beside its vectors'.
      for (int g = 0; g < kGroups; ++g) {
        __m256 columns[4];
        __m256 query_columns[4];
        load_columns_256(stored + 8 * g, i, columns);
        load_columns_256(queries.values + 8 * g, i, query_columns);
        for (int k = 0; k < 4; ++k) {
          sums[g] = _mm256_add_ps(sums[g], packed_term_256<kind>(query_columns[k], columns[k]));
        }
      }
    } else {
      __m256 columns[kGroups][4];
      for (int g = 0; g < kGroups; ++g) load_columns_256(stored + 8 * g, i, columns[g]);
      for (int k = 0; k < 4; ++k) {
        const __m256 q = _mm256_set1_ps(queries.values[i + static_cast<std::size_t>(k)]);
        for (int g = 0; g < kGroups; ++g) {
          sums[g] = _mm256_add_ps(sums[g], packed_term_256<kind>(q, columns[g][k]));
        }
      }
    }
  }
  for (; i < n; ++i) {
    for (int g = 0; g < kGroups; ++g) {
      const float* const* s = stored + 8 * g;
      const std::size_t l = 8 * static_cast<std::size_t>(g);
      const __m256 q = _mm256_setr_ps(queries.at(l, i), queries.at(l + 1, i),
                                      queries.at(l + 2, i), queries.at(l + 3, i),
                                      queries.at(l + 4, i), queries.at(l + 5, i),
                                      queries.at(l + 6, i), queries.at(l + 7, i));
      const __m256 p = _mm256_setr_ps(s[0][i], s[1][i], s[2][i], s[3][i], s[4][i], s[5][i],
                                      s[6][i], s[7][i]);
      sums[g] = _mm256_add_ps(sums[g], packed_term_256<kind>(q, p));
    }
  }
  for (int g = 0; g < kGroups; ++g) _mm256_storeu_ps(out + 8 * g, sums[g]);
}

#endif

// Runs `kernel` on `width` lanes: the unused lanes repeat the first lane
// (its vector, and its query when each lane has one) and their results are
// dropped.
template <std::size_t width, class Queries, class Kernel>
void padded(const Queries& queries, const float* const* stored, std::size_t count, float* out,
            Kernel kernel) {
  if (count == width) {
    kernel(queries, stored, out);
    return;
  }
  const float* lanes[width];
  const float* query_rows[width];
  for (std::size_t l = 0; l < width; ++l) {
    lanes[l] = stored[l < count ? l : 0];
    query_rows[l] = queries.row(l < count ? l : 0);
  }
  float all[width];
  if constexpr (std::is_same_v<Queries, QueryPerLane>) {
    kernel(QueryPerLane{query_rows}, lanes, all);
  } else {
    kernel(queries, lanes, all);
  }
  for (std::size_t l = 0; l < count; ++l) out[l] = all[l];
}

template <Term kind, class Queries>
void sums(const Queries& queries, std::size_t n, const float* const* stored, std::size_t count,
          float* out) {
  static_assert(kLaneCount == 16);
  if (count <= 1) {
    sums_plain<kind>(queries, n, stored, count, out);
    return;
  }
#if defined(TAVRIK_HAS_AVX2_KERNELS)
  if (count > 8 && cpu_has_avx2()) {
    const auto sixteen_lanes = [&](const auto& q, const float* const* lanes, float* o) {
      sums_avx2<kind>(q, n, lanes, o);
    };
    padded<16>(queries, stored, count, out, sixteen_lanes);
    return;
  }
#endif
  const std::size_t groups = (count + 3) / 4;
  auto packed = [&]<int kGroups>() {
    padded<4 * kGroups>(queries, stored, count, out,
                        [&](const auto& q, const float* const* lanes, float* o) {
                          sums_packed<kind, kGroups>(q, n, lanes, o);
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

template <Term kind, class Queries>
void sums(const Queries& queries, std::size_t n, const float* const* stored, std::size_t count,
          float* out) {
  sums_plain<kind>(queries, n, stored, count, out);
}

#endif

}  // namespace

void dot_product_lanes(std::span<const float> query, const float* const* stored,
                       std::size_t count, float* out) {
  sums<Term::Product>(OneQuery{query.data()}, query.size(), stored, count, out);
}

void dot_product_pair_lanes(const float* const* queries, std::size_t length,
                            const float* const* stored, std::size_t count, float* out) {
  sums<Term::Product>(QueryPerLane{queries}, length, stored, count, out);
}

void euclidean_distance_lanes(std::span<const float> query, const float* const* stored,
                              std::size_t count, float* out) {
  sums<Term::SquaredDifference>(OneQuery{query.data()}, query.size(), stored, count, out);
  for (std::size_t l = 0; l < count; ++l) out[l] = std::sqrt(out[l]);
}

void squared_norm_lanes(std::size_t length, const float* const* stored, std::size_t count,
                        float* out) {
  if (count == 0) return;
  // The first vector stands in for the query: it only gives the length, as
  // Square terms never read the query's values.
  sums<Term::Square>(OneQuery{stored[0]}, length, stored, count, out);
}

void cosine_quotient_lanes(const float* dots, const float* query_norms,
                           const float* squared_norms, std::size_t count, float* out) {
#if defined(__SSE2__)
  // Four lanes per step; a partial step works on copies padded with ones.
  float padded_dots[kLaneCount];
  float padded_query_norms[kLaneCount];
  float padded_squared_norms[kLaneCount];
  float quotients[kLaneCount];
  const std::size_t steps = (count + 3) / 4 * 4;
  for (std::size_t l = 0; l < steps; ++l) {
    padded_dots[l] = l < count ? dots[l] : 0.0f;
    padded_query_norms[l] = l < count ? query_norms[l] : 1.0f;
    padded_squared_norms[l] = l < count ? squared_norms[l] : 1.0f;
  }
  for (std::size_t l = 0; l < count; l += 4) {
    const __m128 magnitude = _mm_mul_ps(_mm_loadu_ps(padded_query_norms + l),
                                        _mm_sqrt_ps(_mm_loadu_ps(padded_squared_norms + l)));
    _mm_storeu_ps(quotients + l, _mm_div_ps(_mm_loadu_ps(padded_dots + l), magnitude));
  }
  for (std::size_t l = 0; l < count; ++l) out[l] = quotients[l];
#else
  for (std::size_t l = 0; l < count; ++l) {
    out[l] = dots[l] / (query_norms[l] * std::sqrt(squared_norms[l]));
  }
#endif
}

}  // namespace tavrik
