// The three metric kernels on one pair of vectors, at d = 128 and 768, and
// the lane kernels: one query against sixteen vectors, and sixteen pairs of
// different queries and vectors (items are vectors scored).
#include <benchmark/benchmark.h>

#include <random>
#include <span>
#include <vector>

#include "bench_data.h"
#include "core/distance/distance.h"
#include "core/distance/lane_kernels.h"

namespace {

using tavrik::bench::gaussian_vector;

template <class Kernel>
void run_kernel(benchmark::State& state, Kernel kernel) {
  const auto dims = static_cast<std::size_t>(state.range(0));
  std::mt19937_64 rng(7);
  const auto a = gaussian_vector(rng, dims);
  const auto b = gaussian_vector(rng, dims);
  for (auto _ : state) {
    float score = kernel(std::span<const float>(a), std::span<const float>(b));
    benchmark::DoNotOptimize(score);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(2 * dims * sizeof(float)));
}

void BM_DotProduct(benchmark::State& state) { run_kernel(state, tavrik::dot_product); }

void BM_CosineSimilarity(benchmark::State& state) {
  run_kernel(state, [](std::span<const float> a, std::span<const float> b) {
    return tavrik::cosine_similarity(a, b).similarity;
  });
}

void BM_CosineDistance(benchmark::State& state) { run_kernel(state, tavrik::cosine_distance); }

void BM_EuclideanDistance(benchmark::State& state) {
  run_kernel(state, tavrik::euclidean_distance);
}

BENCHMARK(BM_DotProduct)->Arg(128)->Arg(768);
BENCHMARK(BM_CosineSimilarity)->Arg(128)->Arg(768);
BENCHMARK(BM_CosineDistance)->Arg(128)->Arg(768);
BENCHMARK(BM_EuclideanDistance)->Arg(128)->Arg(768);

}  // namespace

// Sixteen vectors (and, for pairs, sixteen queries) of `dims` floats.
struct LaneData {
  std::vector<std::vector<float>> queries, stored;
  std::vector<const float*> query_rows, rows;

  explicit LaneData(std::size_t dims) {
    std::mt19937_64 rng(11);
    for (std::size_t l = 0; l < tavrik::kLaneCount; ++l) {
      queries.push_back(gaussian_vector(rng, dims));
      stored.push_back(gaussian_vector(rng, dims));
    }
    for (std::size_t l = 0; l < tavrik::kLaneCount; ++l) {
      query_rows.push_back(queries[l].data());
      rows.push_back(stored[l].data());
    }
  }
};

void BM_DotProductLanes(benchmark::State& state) {
  const auto dims = static_cast<std::size_t>(state.range(0));
  const LaneData data(dims);
  float out[tavrik::kLaneCount];
  for (auto _ : state) {
    tavrik::dot_product_lanes(data.queries[0], data.rows.data(), tavrik::kLaneCount, out);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(tavrik::kLaneCount));
}

void BM_DotProductPairLanes(benchmark::State& state) {
  const auto dims = static_cast<std::size_t>(state.range(0));
  const LaneData data(dims);
  float out[tavrik::kLaneCount];
  for (auto _ : state) {
    tavrik::dot_product_pair_lanes(data.query_rows.data(), dims, data.rows.data(),
                                   tavrik::kLaneCount, out);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(tavrik::kLaneCount));
}

BENCHMARK(BM_DotProductLanes)->Arg(128)->Arg(768);
BENCHMARK(BM_DotProductPairLanes)->Arg(128)->Arg(768);
