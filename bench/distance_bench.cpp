// The three metric kernels on one pair of vectors, at d = 128 and 768.
#include <benchmark/benchmark.h>

#include <random>
#include <span>

#include "bench_data.h"
#include "core/distance/distance.h"

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
