// The exact scan: one query against 499 points of d = 128, each metric.
#include <benchmark/benchmark.h>

#include <random>
#include <span>

#include "bench_data.h"
#include "core/distance/metric.h"
#include "core/vector/point.h"
#include "index/exact/exact_knn.h"

namespace {

constexpr std::size_t kPoints = 499;
constexpr std::size_t kDims = 128;
constexpr std::uint64_t kLimit = 10;

void BM_ExactKnn(benchmark::State& state) {
  const auto metric = static_cast<tavrik::Metric>(state.range(0));
  std::mt19937_64 rng(11);
  tavrik::PointTable points;
  for (std::uint64_t id = 0; id < kPoints; ++id) {
    points.emplace(id, tavrik::Point{id, tavrik::bench::gaussian_vector(rng, kDims), std::nullopt});
  }
  const auto query = tavrik::bench::gaussian_vector(rng, kDims);
  for (auto _ : state) {
    auto hits = tavrik::search_exact_knn(std::span<const float>(query), kLimit, metric, points,
                                         std::nullopt);
    benchmark::DoNotOptimize(hits.data());
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ExactKnn)
    ->ArgName("metric")
    ->Arg(static_cast<int>(tavrik::Metric::DotProduct))
    ->Arg(static_cast<int>(tavrik::Metric::Cosine))
    ->Arg(static_cast<int>(tavrik::Metric::Euclidean));

}  // namespace
