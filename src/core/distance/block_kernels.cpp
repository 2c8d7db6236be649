#include "core/distance/block_kernels.h"

#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include "core/distance/cpu_features.h"
#define TAVRIK_HAS_BLOCK_SIMD 1
#endif

namespace tavrik {
namespace {

enum class Term { Product, SquaredDifference };

// Blocks scored side by side: enough independent sums in flight to hide the
// latency of each addition.
constexpr std::size_t kBlocksInFlight = 4;

template <Term kind>
inline float scalar_term(float q, float p) {
  if constexpr (kind == Term::Product) {
    return q * p;
  } else {
    const float difference = q - p;
    return difference * difference;
  }
}

template <Term kind>
void blocks_plain(const float* query, std::size_t n, const float* blocks,
                  std::size_t block_count, BlockOrder order, float* out) {
  for (std::size_t step = 0; step < block_count; ++step) {
    const std::size_t b = order == BlockOrder::Forward ? step : block_count - 1 - step;
    const float* block = blocks + b * n * kBlockLanes;
    float sums[kBlockLanes];
    for (float& sum : sums) sum = -0.0f;
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t l = 0; l < kBlockLanes; ++l) {
        const float term = scalar_term<kind>(query[i], block[i * kBlockLanes + l]);
        sums[l] += term;
      }
    }
    for (std::size_t l = 0; l < kBlockLanes; ++l) out[b * kBlockLanes + l] = sums[l];
  }
}

#if defined(TAVRIK_HAS_BLOCK_SIMD)

template <Term kind>
__attribute__((target("avx512f"))) inline __m512 term_512(__m512 q, __m512 p) {
  if constexpr (kind == Term::Product) {
    return _mm512_mul_ps(q, p);
  } else {
    const __m512 difference = _mm512_sub_ps(q, p);
    return _mm512_mul_ps(difference, difference);
  }
}

// `count` (<= kBlocksInFlight) blocks, one 512-bit register of sums each;
// every step broadcasts one query element to all of them.
template <Term kind, std::size_t count>
__attribute__((target("avx512f"))) void group_avx512(const float* query, std::size_t n,
                                                     const float* blocks, float* out) {
  const std::size_t stride = n * kBlockLanes;
  __m512 sums[count];
  for (std::size_t g = 0; g < count; ++g) sums[g] = _mm512_set1_ps(-0.0f);
  for (std::size_t i = 0; i < n; ++i) {
    const __m512 q = _mm512_set1_ps(query[i]);
    const float* step = blocks + i * kBlockLanes;
    for (std::size_t g = 0; g < count; ++g) {
      sums[g] = _mm512_add_ps(sums[g], term_512<kind>(q, _mm512_loadu_ps(step + g * stride)));
    }
  }
  for (std::size_t g = 0; g < count; ++g) _mm512_storeu_ps(out + g * kBlockLanes, sums[g]);
}

template <Term kind>
__attribute__((target("avx2"))) inline __m256 term_256(__m256 q, __m256 p) {
  if constexpr (kind == Term::Product) {
    return _mm256_mul_ps(q, p);
  } else {
    const __m256 difference = _mm256_sub_ps(q, p);
    return _mm256_mul_ps(difference, difference);
  }
}

// The same with two 256-bit registers per block: lanes 0..7 and 8..15.
template <Term kind, std::size_t count>
__attribute__((target("avx2"))) void group_avx2(const float* query, std::size_t n,
                                                const float* blocks, float* out) {
  const std::size_t stride = n * kBlockLanes;
  __m256 sums[2 * count];
  for (std::size_t g = 0; g < 2 * count; ++g) sums[g] = _mm256_set1_ps(-0.0f);
  for (std::size_t i = 0; i < n; ++i) {
    const __m256 q = _mm256_set1_ps(query[i]);
    const float* step = blocks + i * kBlockLanes;
    for (std::size_t g = 0; g < count; ++g) {
      const float* lanes = step + g * stride;
      sums[2 * g] = _mm256_add_ps(sums[2 * g], term_256<kind>(q, _mm256_loadu_ps(lanes)));
      sums[2 * g + 1] =
          _mm256_add_ps(sums[2 * g + 1], term_256<kind>(q, _mm256_loadu_ps(lanes + 8)));
    }
  }
  for (std::size_t g = 0; g < 2 * count; ++g) _mm256_storeu_ps(out + g * 8, sums[g]);
}

enum class Isa { Plain, Avx2, Avx512 };

Isa best_isa() {
  return cpu_has_avx512() ? Isa::Avx512 : cpu_has_avx2() ? Isa::Avx2 : Isa::Plain;
}

// Runs `group<count>` over the blocks, kBlocksInFlight at a time, the last
// few in one smaller group; backwards, that group comes first and the
// others follow from the last to the first.
template <Term kind, template <Term, std::size_t> class Group>
void in_groups(const float* query, std::size_t n, const float* blocks, std::size_t block_count,
               BlockOrder order, float* out) {
  const std::size_t stride = n * kBlockLanes;
  const std::size_t full = block_count - block_count % kBlocksInFlight;
  const auto group_at = [&](std::size_t b) {
    Group<kind, kBlocksInFlight>::run(query, n, blocks + b * stride, out + b * kBlockLanes);
  };
  const auto rest = [&] {
    const float* first = blocks + full * stride;
    float* first_out = out + full * kBlockLanes;
    switch (block_count - full) {
      case 3: Group<kind, 3>::run(query, n, first, first_out); break;
      case 2: Group<kind, 2>::run(query, n, first, first_out); break;
      case 1: Group<kind, 1>::run(query, n, first, first_out); break;
      default: break;
    }
  };
  if (order == BlockOrder::Forward) {
    for (std::size_t b = 0; b < full; b += kBlocksInFlight) group_at(b);
    rest();
  } else {
    rest();
    for (std::size_t b = full; b > 0; b -= kBlocksInFlight) group_at(b - kBlocksInFlight);
  }
}

template <Term kind, std::size_t count>
struct Avx512Group {
  static void run(const float* q, std::size_t n, const float* b, float* o) {
    group_avx512<kind, count>(q, n, b, o);
  }
};
template <Term kind, std::size_t count>
struct Avx2Group {
  static void run(const float* q, std::size_t n, const float* b, float* o) {
    group_avx2<kind, count>(q, n, b, o);
  }
};

#endif

template <Term kind>
void score_blocks(std::span<const float> query, const float* blocks, std::size_t block_count,
                  BlockOrder order, float* out) {
#if defined(TAVRIK_HAS_BLOCK_SIMD)
  switch (best_isa()) {
    case Isa::Avx512:
      in_groups<kind, Avx512Group>(query.data(), query.size(), blocks, block_count, order, out);
      return;
    case Isa::Avx2:
      in_groups<kind, Avx2Group>(query.data(), query.size(), blocks, block_count, order, out);
      return;
    case Isa::Plain:
      break;
  }
#endif
  blocks_plain<kind>(query.data(), query.size(), blocks, block_count, order, out);
}

}  // namespace

void dot_product_blocks(std::span<const float> query, const float* blocks,
                        std::size_t block_count, BlockOrder order, float* out) {
  score_blocks<Term::Product>(query, blocks, block_count, order, out);
}

void euclidean_distance_blocks(std::span<const float> query, const float* blocks,
                               std::size_t block_count, BlockOrder order, float* out) {
  score_blocks<Term::SquaredDifference>(query, blocks, block_count, order, out);
  for (std::size_t l = 0; l < block_count * kBlockLanes; ++l) out[l] = std::sqrt(out[l]);
}

}  // namespace tavrik
