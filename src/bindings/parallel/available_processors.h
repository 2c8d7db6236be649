// The number of processors this process may use.
//
// It is the processor affinity of the process (sched_getaffinity), lowered
// by a control-group CPU quota where one is set: cgroup v2 "cpu.max"
// ("<quota> <period>" or "max <period>") or cgroup v1 "cpu.cfs_quota_us" and
// "cpu.cfs_period_us" (a quota of -1 means none). A quota allows
// ceil(quota / period) processors, at least 1. The quota of the process's own
// cgroup and of each of its ancestors counts; the tightest one wins.
// When nothing can be determined the answer is 1.
//
// The parsing steps are exposed so they can be tested on sample texts.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

// Processors allowed by the text of a cgroup v2 "cpu.max" file, or nullopt
// for "max", a malformed text or a non-positive quota or period.
std::optional<std::size_t> cpu_max_limit(std::string_view cpu_max);

// Processors allowed by the texts of cgroup v1 "cpu.cfs_quota_us" and
// "cpu.cfs_period_us", or nullopt for a quota of -1 or malformed texts.
std::optional<std::size_t> cfs_quota_limit(std::string_view quota, std::string_view period);

// The unified-hierarchy cgroup path ("0::<path>" line) in the text of
// /proc/self/cgroup.
std::optional<std::string> unified_cgroup_path(std::string_view proc_self_cgroup);

// The cgroup v1 path of the hierarchy carrying the "cpu" controller
// ("<n>:<controllers>:<path>" line whose comma list holds "cpu").
std::optional<std::string> cpu_cgroup_path(std::string_view proc_self_cgroup);

// A cgroup path and its ancestors, deepest first: "/a/b" gives "/a/b", "/a", "/".
std::vector<std::string> cgroup_lineage(std::string_view path);

// The smaller of the affinity count and the quota limit, at least 1.
std::size_t limit_processors(std::size_t affinity, std::optional<std::size_t> quota_limit);

// Reads the affinity mask and the cgroup files of the running process.
std::size_t available_processors();

}  // namespace tavrik
