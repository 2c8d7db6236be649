#include "bindings/parallel/available_processors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tavrik {
namespace {

struct CpuMaxCase {
  const char* text;
  std::optional<std::size_t> limit;
};

class CpuMax : public ::testing::TestWithParam<CpuMaxCase> {};

TEST_P(CpuMax, ParsesQuotaOverPeriodRoundedUp) {
  EXPECT_EQ(cpu_max_limit(GetParam().text), GetParam().limit);
}

INSTANTIATE_TEST_SUITE_P(Texts, CpuMax,
                         ::testing::Values(CpuMaxCase{"max 100000\n", std::nullopt},
                                           CpuMaxCase{"150000 100000\n", 2},
                                           CpuMaxCase{"50000 100000", 1},
                                           CpuMaxCase{"400000 100000", 4},
                                           CpuMaxCase{"0 100000", std::nullopt},
                                           CpuMaxCase{"100000 0", std::nullopt},
                                           CpuMaxCase{"", std::nullopt},
                                           CpuMaxCase{"garbage", std::nullopt},
                                           CpuMaxCase{"12x 100000", std::nullopt}));

TEST(CfsQuota, V1FilesParse) {
  EXPECT_EQ(cfs_quota_limit("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(cfs_quota_limit("150000\n", "100000\n"), 2u);
  EXPECT_EQ(cfs_quota_limit("50000", "100000"), 1u);
  EXPECT_EQ(cfs_quota_limit("300000", "100000"), 3u);
  EXPECT_EQ(cfs_quota_limit("", "100000"), std::nullopt);
}

TEST(ProcSelfCgroup, FindsUnifiedAndCpuPaths) {
  const std::string hybrid =
      "12:memory:/user.slice\n"
      "4:cpu,cpuacct:/docker/abc\n"
      "3:cpuset:/elsewhere\n"
      "0::/user.slice/session-1.scope\n";
  EXPECT_EQ(unified_cgroup_path(hybrid), "/user.slice/session-1.scope");
  EXPECT_EQ(cpu_cgroup_path(hybrid), "/docker/abc");
  EXPECT_EQ(unified_cgroup_path("0::/\n"), "/");
  EXPECT_EQ(cpu_cgroup_path("0::/\n"), std::nullopt);
  EXPECT_EQ(unified_cgroup_path("4:cpu:/x\n"), std::nullopt);
  EXPECT_EQ(cpu_cgroup_path("3:cpuset:/a\n5:cpuacct:/b\n"), std::nullopt);
  EXPECT_EQ(unified_cgroup_path(""), std::nullopt);
}

TEST(ProcSelfCgroup, LineageWalksToTheRoot) {
  EXPECT_EQ(cgroup_lineage("/a/b"), (std::vector<std::string>{"/a/b", "/a", "/"}));
  EXPECT_EQ(cgroup_lineage("/a/b/"), (std::vector<std::string>{"/a/b", "/a", "/"}));
  EXPECT_EQ(cgroup_lineage("/"), (std::vector<std::string>{"/"}));
}

TEST(AvailableProcessors, AtLeastOneAndWithinAffinity) {
  const std::size_t count = available_processors();
  EXPECT_GE(count, 1u);
  EXPECT_LE(count, std::max<unsigned>(std::thread::hardware_concurrency(), 1u));
}

}  // namespace
}  // namespace tavrik
