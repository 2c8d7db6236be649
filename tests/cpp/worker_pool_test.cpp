#include "bindings/parallel/worker_pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bindings/parallel/available_processors.h"

namespace tavrik {
namespace {

// One counter per index; every index must be hit exactly once.
class VisitLog {
 public:
  explicit VisitLog(std::size_t count) : hits_(count) {}
  void visit(std::size_t index) { hits_[index].fetch_add(1, std::memory_order_relaxed); }
  bool each_once() const {
    for (const auto& hit : hits_)
      if (hit.load() != 1) return false;
    return true;
  }

 private:
  std::vector<std::atomic<int>> hits_;
};

struct PoolCase {
  std::size_t workers;
  std::size_t count;
};

class ParallelFor : public ::testing::TestWithParam<PoolCase> {};

TEST_P(ParallelFor, RunsEveryIndexExactlyOnce) {
  WorkerPool pool(GetParam().workers);
  VisitLog log(GetParam().count);
  pool.parallel_for(GetParam().count, [&](std::size_t i) { log.visit(i); });
  EXPECT_TRUE(log.each_once());
}

std::vector<PoolCase> pool_cases() {
  std::vector<PoolCase> cases;
  for (std::size_t workers : {1, 2, 3, 8})
    for (std::size_t count : {0, 1, 2, 3, 7, 1000, 100000}) cases.push_back({workers, count});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Sizes, ParallelFor, ::testing::ValuesIn(pool_cases()),
                         [](const auto& info) {
                           return "workers" + std::to_string(info.param.workers) + "_count" +
                                  std::to_string(info.param.count);
                         });

TEST(ParallelForPlacement, SingleIndexRunsOnCaller) {
  WorkerPool pool(2);
  std::thread::id ran_on;
  pool.parallel_for(1, [&](std::size_t) { ran_on = std::this_thread::get_id(); });
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(ParallelForPlacement, LargerRangesRunOnWorkers) {
  WorkerPool pool(2);
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<int> on_caller{0};
  pool.parallel_for(64, [&](std::size_t) {
    if (std::this_thread::get_id() == caller) on_caller.fetch_add(1);
  });
  EXPECT_EQ(on_caller.load(), 0);
}

// Halves offered by a busy splitter are taken by idle workers.
TEST(ParallelForPlacement, WorkSpreadsOverSeveralWorkers) {
  WorkerPool pool(4);
  std::mutex mutex;
  std::set<std::thread::id> threads;
  pool.parallel_for(64, [&](std::size_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::lock_guard lock(mutex);
    threads.insert(std::this_thread::get_id());
  });
  EXPECT_GE(threads.size(), 2u);
}

// Each caller writes its own tag into its own output; a mix-up between
// concurrent jobs shows as a foreign tag or a missing slot.
TEST(ParallelForConcurrency, ConcurrentCallersNeverMix) {
  WorkerPool pool(3);
  constexpr std::size_t kCallers = 4;
  constexpr std::size_t kCount = 20000;
  std::vector<std::vector<std::size_t>> outputs(kCallers, std::vector<std::size_t>(kCount, 0));
  std::vector<std::thread> callers;
  for (std::size_t caller = 0; caller < kCallers; ++caller) {
    callers.emplace_back([&, caller] {
      for (int round = 0; round < 20; ++round) {
        pool.parallel_for(kCount, [&](std::size_t i) { outputs[caller][i] += caller + 1; });
      }
    });
  }
  for (std::thread& thread : callers) thread.join();
  for (std::size_t caller = 0; caller < kCallers; ++caller) {
    for (std::size_t i = 0; i < kCount; ++i) ASSERT_EQ(outputs[caller][i], 20 * (caller + 1));
  }
}

TEST(ParallelForNesting, BodyMayCallParallelFor) {
  for (std::size_t workers : {1, 2, 4}) {
    WorkerPool pool(workers);
    constexpr std::size_t kOuter = 50;
    constexpr std::size_t kInner = 300;
    VisitLog log(kOuter * kInner);
    pool.parallel_for(kOuter, [&](std::size_t outer) {
      pool.parallel_for(kInner, [&](std::size_t inner) { log.visit(outer * kInner + inner); });
    });
    EXPECT_TRUE(log.each_once()) << workers << " workers";
  }
}

TEST(ProcessPool, IsSharedAndUsable) {
  WorkerPool& pool = WorkerPool::instance();
  EXPECT_EQ(&pool, &WorkerPool::instance());
  EXPECT_GE(pool.worker_count(), 1u);
  EXPECT_EQ(pool.worker_count(), available_processors());
  VisitLog log(777);
  pool.parallel_for(777, [&](std::size_t i) { log.visit(i); });
  EXPECT_TRUE(log.each_once());
}

// A child forked from a process whose pool exists (idle, or busy with
// another thread's range) gets a working pool of its own; the parent's pool
// keeps working. A hang in the child ends it by alarm instead of hanging.
class ForkedProcessPool : public ::testing::TestWithParam<bool> {};

TEST_P(ForkedProcessPool, ChildGetsAPoolOfItsOwn) {
  WorkerPool& parent_pool = WorkerPool::instance();
  VisitLog warm_up(100);
  parent_pool.parallel_for(100, [&](std::size_t i) { warm_up.visit(i); });
  std::atomic<bool> stop{false};
  std::thread busy;
  if (GetParam()) {
    busy = std::thread([&] {
      while (!stop.load()) {
        parent_pool.parallel_for(64, [](std::size_t) {
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        });
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(10);
    WorkerPool& pool = WorkerPool::instance();
    VisitLog log(5000);
    pool.parallel_for(5000, [&](std::size_t i) { log.visit(i); });
    const bool own = &pool != &parent_pool && &WorkerPool::instance() == &pool;
    ::_exit(log.each_once() && own ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  stop.store(true);
  if (busy.joinable()) busy.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  VisitLog after(777);
  parent_pool.parallel_for(777, [&](std::size_t i) { after.visit(i); });
  EXPECT_TRUE(after.each_once());
}

INSTANTIATE_TEST_SUITE_P(PoolState, ForkedProcessPool, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Busy" : "Idle"; });

}  // namespace
}  // namespace tavrik
