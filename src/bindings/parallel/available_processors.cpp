#include "bindings/parallel/available_processors.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace tavrik {
namespace {

std::string_view trim(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<std::int64_t> parse_integer(std::string_view text) {
  text = trim(text);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::size_t> quota_limit(std::int64_t quota, std::int64_t period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  const std::int64_t whole = quota / period + (quota % period != 0 ? 1 : 0);
  return static_cast<std::size_t>(std::max<std::int64_t>(whole, 1));
}

// Calls `visit(controllers, path)` for each "<n>:<controllers>:<path>" line.
template <class Visit>
void for_each_cgroup_line(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    if (visit(line.substr(0, first), line.substr(first + 1, second - first - 1),
              trim(line.substr(second + 1)))) {
      return;
    }
  }
}

bool lists_controller(std::string_view controllers, std::string_view wanted) {
  while (true) {
    const std::size_t comma = controllers.find(',');
    if (controllers.substr(0, comma) == wanted) return true;
    if (comma == std::string_view::npos) return false;
    controllers.remove_prefix(comma + 1);
  }
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

std::optional<std::size_t> tighter(std::optional<std::size_t> a, std::optional<std::size_t> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

std::optional<std::size_t> unified_limit(std::string_view proc_self_cgroup) {
  const std::optional<std::string> path = unified_cgroup_path(proc_self_cgroup);
  if (!path) return std::nullopt;
  std::optional<std::size_t> limit;
  for (const std::string& dir : cgroup_lineage(*path)) {
    if (const auto text = read_file("/sys/fs/cgroup" + dir + "/cpu.max")) {
      limit = tighter(limit, cpu_max_limit(*text));
    }
  }
  return limit;
}

std::optional<std::size_t> cfs_limit(std::string_view proc_self_cgroup) {
  const std::optional<std::string> path = cpu_cgroup_path(proc_self_cgroup);
  if (!path) return std::nullopt;
  std::optional<std::size_t> limit;
  for (const char* mount : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
    for (const std::string& dir : cgroup_lineage(*path)) {
      const std::string base = mount + (dir == "/" ? std::string() : dir);
      const auto quota = read_file(base + "/cpu.cfs_quota_us");
      const auto period = read_file(base + "/cpu.cfs_period_us");
      if (quota && period) limit = tighter(limit, cfs_quota_limit(*quota, *period));
    }
  }
  return limit;
}

std::optional<std::size_t> affinity_count() {
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return std::nullopt;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    const int result = sched_getaffinity(0, size, set);
    const int count = CPU_COUNT_S(size, set);
    const int error = errno;
    CPU_FREE(set);
    if (result == 0) return static_cast<std::size_t>(count);
    if (error != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> cpu_max_limit(std::string_view cpu_max) {
  cpu_max = trim(cpu_max);
  const std::size_t space = cpu_max.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const auto quota = parse_integer(cpu_max.substr(0, space));
  const auto period = parse_integer(cpu_max.substr(space + 1));
  if (!quota || !period) return std::nullopt;  // "max" fails to parse: no limit
  return quota_limit(*quota, *period);
}

std::optional<std::size_t> cfs_quota_limit(std::string_view quota, std::string_view period) {
  const auto quota_us = parse_integer(quota);
  const auto period_us = parse_integer(period);
  if (!quota_us || !period_us) return std::nullopt;
  return quota_limit(*quota_us, *period_us);
}

std::optional<std::string> unified_cgroup_path(std::string_view proc_self_cgroup) {
  std::optional<std::string> found;
  const auto take_unified = [&](std::string_view id, std::string_view controllers,
                                std::string_view path) {
    if (id != "0" || !controllers.empty() || path.empty()) return false;
    found = std::string(path);
    return true;
  };
  for_each_cgroup_line(proc_self_cgroup, take_unified);
  return found;
}

std::optional<std::string> cpu_cgroup_path(std::string_view proc_self_cgroup) {
  std::optional<std::string> found;
  for_each_cgroup_line(proc_self_cgroup,
                       [&](std::string_view, std::string_view controllers, std::string_view path) {
                         if (!lists_controller(controllers, "cpu") || path.empty()) return false;
                         found = std::string(path);
                         return true;
                       });
  return found;
}

std::vector<std::string> cgroup_lineage(std::string_view path) {
  std::vector<std::string> lineage;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  while (!path.empty() && path != "/") {
    lineage.emplace_back(path);
    const std::size_t slash = path.rfind('/');
    path = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
  }
  lineage.emplace_back("/");
  return lineage;
}

std::size_t limit_processors(std::size_t affinity, std::optional<std::size_t> quota_limit) {
  std::size_t count = affinity;
  if (quota_limit) count = std::min(count, *quota_limit);
  return std::max<std::size_t>(count, 1);
}

std::size_t available_processors() {
  const std::size_t affinity = affinity_count().value_or(1);
  std::optional<std::size_t> limit;
  if (const auto proc_self_cgroup = read_file("/proc/self/cgroup")) {
    limit = tighter(unified_limit(*proc_self_cgroup), cfs_limit(*proc_self_cgroup));
  }
  return limit_processors(affinity, limit);
}

}  // namespace tavrik
