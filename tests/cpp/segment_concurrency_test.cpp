// One Segment shared by threads that upsert, search, save and load at the
// same time. Every point id always carries the same vector and tenant, so
// whatever interleaving happens, each search result can be checked against
// the point it names: the id must exist (unless a load swapped the tables
// meanwhile), the tenant must match, dot and euclidean scores must be those
// of the stored vector, and the list must be ranked. The run starts below the
// graph threshold and grows past it, so both search paths are exercised,
// and loads of older snapshots bring it back below now and then.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/distance/distance.h"
#include "storage/segment/segment.h"

namespace tavrik {
namespace {

constexpr std::size_t kDims = 8;
constexpr std::uint64_t kMaxId = 1600;  // well past kGraphSearchThreshold

// The vector of a point depends only on its id: replacements and snapshots
// never change what an id stands for.
std::vector<float> vector_of(std::uint64_t id) {
  std::mt19937 rng(static_cast<std::uint32_t>(id * 2654435761u + 1));
  std::uniform_real_distribution<float> component(-1.0f, 1.0f);
  std::vector<float> vector(kDims);
  for (float& x : vector) x = component(rng);
  vector[id % kDims] += 2.0f;  // never all zero
  return vector;
}

std::string tenant_of(std::uint64_t id) { return "t" + std::to_string(id % 3); }

Point point_of(std::uint64_t id) {
  Point point;
  point.vector = vector_of(id);
  point.payload.emplace();
  point.payload->emplace(std::string(kTenantKey), Keyword{tenant_of(id)});
  return point;
}

// Aborts the process if the test body has not finished in time, so a
// deadlock fails the run instead of hanging it.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "segment concurrency test: deadlock suspected\n");
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

class TempDir {
 public:
  TempDir() {
    std::random_device device;
    path_ = std::filesystem::temp_directory_path() /
            ("tavrik-concurrency-" + std::to_string(device()) + std::to_string(device()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

struct Counters {
  std::atomic<long> upserts{0};
  std::atomic<long> searches{0};
  std::atomic<long> graph_searches{0};
  std::atomic<long> exact_searches{0};
  std::atomic<long> saves{0};
  std::atomic<long> loads{0};
};

class SegmentConcurrency : public ::testing::Test {
 protected:
  Segment segment_;
  // Odd while a load may be swapping tables: results taken across a load
  // may name ids that the loaded snapshot lacks.
  std::atomic<std::uint64_t> load_epoch_{0};
  std::atomic<std::uint64_t> next_new_id_{0};
  std::atomic<bool> stop_{false};
  Counters counters_;
  std::mutex failure_mutex_;
  std::vector<std::string> failures_;

  void fail(std::string message) {
    std::lock_guard lock(failure_mutex_);
    if (failures_.size() < 20) failures_.push_back(std::move(message));
  }

  void writer(unsigned seed) {
    std::mt19937_64 rng(seed);
    while (!stop_.load()) {
      std::uint64_t id = next_new_id_.fetch_add(1);
      if (id >= kMaxId || rng() % 4 == 0) id = rng() % kMaxId;  // replace some
      segment_.upsert(id, point_of(id));
      ++counters_.upserts;
    }
  }

  void check_results(const std::vector<ScoredPoint>& results, std::span<const float> query,
                     std::uint64_t limit, Metric metric, const std::string* tenant,
                     std::uint64_t epoch) {
    if (results.size() > limit) fail("more results than the limit");
    for (std::size_t i = 0; i < results.size(); ++i) {
      const ScoredPoint& result = results[i];
      if (result.id >= kMaxId) {
        fail("unknown id " + std::to_string(result.id));
        continue;
      }
      if (tenant && tenant_of(result.id) != *tenant) fail("tenant mismatch");
      const std::vector<float> stored = vector_of(result.id);
      if (metric == Metric::DotProduct && result.score != dot_product(query, stored)) {
        fail("dot score of " + std::to_string(result.id));
      }
      if (metric == Metric::Euclidean && result.score != euclidean_distance(query, stored)) {
        fail("euclidean score of " + std::to_string(result.id));
      }
      if (metric == Metric::Cosine &&
          std::abs(result.score - cosine_similarity(query, stored).similarity) > 1e-5f) {
        fail("cosine score of " + std::to_string(result.id));
      }
      if (i > 0) {
        const float before = results[i - 1].score;
        const bool in_order =
            ranks_ascending(metric) ? before <= result.score : before >= result.score;
        if (!in_order) fail("results not ranked");
      }
    }
    if (epoch % 2 != 0) return;
    std::vector<std::uint64_t> missing;
    segment_.read([&](const PointTable& points, const HNSWIndex&) {
      for (const ScoredPoint& result : results) {
        if (points.find(result.id) == points.end()) missing.push_back(result.id);
      }
    });
    // Only meaningful if no load started between the search and this check.
    if (load_epoch_.load() != epoch) return;
    for (const std::uint64_t id : missing) {
      fail("result id " + std::to_string(id) + " is not a stored point");
    }
  }

  void reader(unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<float> component(-1.0f, 1.0f);
    const std::string tenants[] = {"t0", "t1", "t2", "nobody"};
    while (!stop_.load()) {
      std::vector<float> query(kDims);
      for (float& x : query) x = component(rng);
      const std::uint64_t limit = rng() % 40;
      const Metric metric = static_cast<Metric>(rng() % 3);
      const std::string* tenant = rng() % 2 ? &tenants[rng() % 4] : nullptr;
      const std::size_t size_before =
          segment_.read([](const PointTable& points, const HNSWIndex&) { return points.size(); });
      const std::uint64_t epoch = load_epoch_.load();
      const auto results =
          segment_.search(query, limit, metric,
                          tenant ? std::optional<std::string_view>(*tenant) : std::nullopt);
      check_results(results, query, limit, metric, tenant, epoch);
      ++counters_.searches;
      ++(size_before >= kGraphSearchThreshold ? counters_.graph_searches
                                              : counters_.exact_searches);
      // Readers share the locks; pausing lets waiting writers in, so the
      // store keeps growing.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  void persister(const TempDir& dir, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::string> saved;
    int round = 0;
    while (!stop_.load()) {
      const std::string path = dir.file("snapshot-" + std::to_string(seed) + "-" +
                                        std::to_string(round++ % 3) + ".bin");
      const SnapshotStatus saved_status = segment_.save_to_disk(path);
      if (!saved_status.is_ok()) {
        fail("save failed: " + saved_status.message());
        continue;
      }
      ++counters_.saves;
      if (std::find(saved.begin(), saved.end(), path) == saved.end()) saved.push_back(path);
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
      if (rng() % 3 != 0) continue;
      // Load one of this thread's snapshots, possibly an older, smaller one.
      const std::string& chosen = saved[rng() % saved.size()];
      ++load_epoch_;
      const SnapshotStatus loaded = segment_.load_from_disk(chosen);
      ++load_epoch_;
      if (!loaded.is_ok()) fail("load failed: " + loaded.message());
      ++counters_.loads;
    }
  }
};

TEST_F(SegmentConcurrency, MixedOperationsKeepResultsConsistent) {
  const Watchdog watchdog(std::chrono::seconds(90));
  const TempDir dir;
  for (std::uint64_t id = 0; id < 100; ++id) segment_.upsert(id, point_of(id));
  next_new_id_ = 100;

  std::vector<std::thread> threads;
  threads.emplace_back([this] { reader(3); });
  threads.emplace_back([this] { reader(4); });
  threads.emplace_back([this] { reader(5); });
  threads.emplace_back([this, &dir] { persister(dir, 6); });
  // Let the readers search the small store exactly before the writers can
  // grow it past the graph threshold; on a fast machine the writers would
  // otherwise get there before any reader ran.
  const auto exact_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (counters_.exact_searches.load() < 3 && std::chrono::steady_clock::now() < exact_deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  threads.emplace_back([this] { writer(1); });
  threads.emplace_back([this] { writer(2); });

  // Run until the store has grown past the graph threshold and a few
  // snapshots went through, within a fixed wall-clock budget.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop_ = true;
  for (std::thread& thread : threads) thread.join();

  for (const std::string& failure : failures_) ADD_FAILURE() << failure;
  EXPECT_GT(counters_.searches.load(), 0);
  EXPECT_GT(counters_.exact_searches.load(), 0);
  EXPECT_GT(counters_.graph_searches.load(), 0);
  EXPECT_GT(counters_.saves.load(), 0);
  RecordProperty("upserts", std::to_string(counters_.upserts.load()));
  RecordProperty("graph_searches", std::to_string(counters_.graph_searches.load()));
  RecordProperty("loads", std::to_string(counters_.loads.load()));

  // Whatever the interleaving, the tables end up consistent with each other.
  segment_.read([](const PointTable& points, const HNSWIndex& index) {
    EXPECT_EQ(points.size(), index.nodes.size());
    for (const auto& [id, point] : points) {
      EXPECT_EQ(points.id_of(id), id);
      EXPECT_EQ(point.vector, vector_of(id));
      const HNSWNode* node = index.nodes.find(id);
      ASSERT_NE(node, nullptr) << id;
      for (std::size_t layer = 0; layer < node->neighbors.size(); ++layer) {
        for (const std::uint64_t linked : node->neighbors[layer]) {
          EXPECT_NE(points.lookup(linked), nullptr) << linked;
        }
      }
    }
    if (!points.empty()) {
      ASSERT_TRUE(index.entry_point.has_value());
      EXPECT_NE(index.nodes.find(*index.entry_point), nullptr);
    }
  });
}

// Searches run against a store that stays above the graph threshold while
// writers keep replacing points: the graph path under write contention.
TEST_F(SegmentConcurrency, GraphSearchesDuringReplacements) {
  const Watchdog watchdog(std::chrono::seconds(90));
  for (std::uint64_t id = 0; id < 700; ++id) segment_.upsert(id, point_of(id));
  next_new_id_ = kMaxId;  // writers only replace

  std::vector<std::thread> threads;
  threads.emplace_back([this] { writer(7); });
  threads.emplace_back([this] { reader(8); });
  threads.emplace_back([this] { reader(9); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop_ = true;
  for (std::thread& thread : threads) thread.join();

  for (const std::string& failure : failures_) ADD_FAILURE() << failure;
  EXPECT_GT(counters_.graph_searches.load(), 0);
  EXPECT_EQ(counters_.exact_searches.load(), 0);
}

}  // namespace
}  // namespace tavrik
