// The graph: insert rate into a Segment growing to 10,000 points of d = 128,
// Segment::search (graph path) on 10,000 clustered points, and
// Segment::batch_search on one thread, whose groups' walks run together
// (items are queries).
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "bench_data.h"
#include "core/distance/metric.h"
#include "core/vector/point.h"
#include "storage/segment/segment.h"

namespace {

constexpr std::size_t kPoints = 10'000;
constexpr std::size_t kDims = 128;
constexpr std::size_t kClusters = 100;

const std::vector<std::vector<float>>& data() {
  static const auto vectors = tavrik::bench::clustered_vectors(kPoints, kDims, kClusters, 42);
  return vectors;
}

const std::vector<std::vector<float>>& queries() {
  static const auto vectors = tavrik::bench::clustered_vectors(1'000, kDims, kClusters, 43);
  return vectors;
}

// One iteration fills a fresh segment with all 10,000 points, one upsert
// each; items/s is the insert rate.
void BM_SegmentInsert10k(benchmark::State& state) {
  const auto& vectors = data();
  for (auto _ : state) {
    auto segment = std::make_unique<tavrik::Segment>();
    for (std::uint64_t id = 0; id < vectors.size(); ++id) {
      segment->upsert(tavrik::Point{id, vectors[id], std::nullopt});
    }
    benchmark::DoNotOptimize(segment.get());
    state.PauseTiming();
    segment.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(vectors.size()));
}
BENCHMARK(BM_SegmentInsert10k)->Unit(benchmark::kMillisecond)->Iterations(2);

tavrik::Segment& built_segment() {
  static tavrik::Segment* segment = [] {
    auto* s = new tavrik::Segment();
    const auto& vectors = data();
    for (std::uint64_t id = 0; id < vectors.size(); ++id) {
      s->upsert(tavrik::Point{id, vectors[id], std::nullopt});
    }
    return s;
  }();
  return *segment;
}

void BM_SegmentSearch10k(benchmark::State& state) {
  const auto metric = static_cast<tavrik::Metric>(state.range(0));
  const auto& segment = built_segment();
  const auto& qs = queries();
  std::size_t next = 0;
  for (auto _ : state) {
    auto hits = segment.search(std::span<const float>(qs[next]), 10, metric, std::nullopt);
    benchmark::DoNotOptimize(hits.data());
    next = (next + 1) % qs.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SegmentSearch10k)
    ->ArgName("metric")
    ->Arg(static_cast<int>(tavrik::Metric::DotProduct))
    ->Arg(static_cast<int>(tavrik::Metric::Cosine))
    ->Arg(static_cast<int>(tavrik::Metric::Euclidean))
    ->Unit(benchmark::kMicrosecond);

// batch_search on one thread: its groups' walks run interleaved.
void BM_SegmentBatchSearch10k(benchmark::State& state) {
  constexpr std::size_t kBatch = 64;
  const auto& segment = built_segment();
  const auto& qs = queries();
  const auto serial = [](std::size_t count, const std::function<void(std::size_t)>& body) {
    for (std::size_t i = 0; i < count; ++i) body(i);
  };
  std::size_t next = 0;
  for (auto _ : state) {
    auto results = segment.batch_search(std::span(qs).subspan(next, kBatch), 10,
                                        tavrik::Metric::Cosine, std::nullopt, 1, serial);
    benchmark::DoNotOptimize(results.data());
    next = (next + kBatch) % (qs.size() - kBatch);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kBatch));
}
BENCHMARK(BM_SegmentBatchSearch10k)->Unit(benchmark::kMicrosecond);

}  // namespace
