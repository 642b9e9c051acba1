#include "runtime/pool_size.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace ludovec::runtime {

namespace {

// A signed decimal integer filling the whole of `text` (surrounding whitespace trimmed).
std::optional<std::int64_t> parse_integer(std::string_view text) noexcept {
  const auto not_space = [](char c) { return c != ' ' && c != '\n' && c != '\t' && c != '\r'; };
  const auto first = std::find_if(text.begin(), text.end(), not_space);
  const auto last = std::find_if(text.rbegin(), text.rend(), not_space).base();
  if (first >= last) return std::nullopt;
  std::int64_t value = 0;
  const char* begin = &*first;
  const char* end = begin + (last - first);
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::optional<std::size_t> limit_from(std::int64_t quota, std::int64_t period) noexcept {
  if (quota <= 0 || period <= 0) return std::nullopt;
  return std::max<std::size_t>(1, static_cast<std::size_t>(quota / period));
}

// The whole file, or nullopt when it cannot be read.
std::optional<std::string> read_file(const char* path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return std::nullopt;
  return text;
}

}  // namespace

std::optional<std::size_t> parse_thread_count(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::size_t decide_pool_size(const EnvLookup& env, std::size_t affinity_cpus,
                             std::optional<std::size_t> quota_cpus) {
  return choose_pool_size(env, affinity_cpus, quota_cpus).asked;
}

std::size_t pool_thread_cap(std::size_t affinity_cpus) noexcept {
  constexpr std::size_t kThreadsPerCpu = 8, kLeastCap = 64;
  const std::size_t cpus = std::max<std::size_t>(1, affinity_cpus);
  return cpus > kLeastCap / kThreadsPerCpu ? cpus * kThreadsPerCpu : kLeastCap;
}

PoolSizeChoice choose_pool_size(const EnvLookup& env, std::size_t affinity_cpus,
                                std::optional<std::size_t> quota_cpus) {
  const auto read = [&](const char* name) -> std::optional<std::size_t> {
    const auto text = env(name);
    return text ? parse_thread_count(*text) : std::nullopt;
  };
  const auto processors = [&] {
    const std::size_t cpus = std::max<std::size_t>(1, affinity_cpus);
    return quota_cpus ? std::min(cpus, std::max<std::size_t>(1, *quota_cpus)) : cpus;
  };
  const auto from = [&](const char* variable, std::size_t asked) {
    return PoolSizeChoice{variable, asked, std::min(asked, pool_thread_cap(affinity_cpus))};
  };
  if (const auto n = read("RAYON_NUM_THREADS"); n && *n > 0) return from("RAYON_NUM_THREADS", *n);
  if (const auto n = read("RAYON_NUM_THREADS"); !n || *n != 0) {
    if (const auto m = read("RAYON_RS_NUM_CPUS"); m && *m > 0) return from("RAYON_RS_NUM_CPUS", *m);
  }
  return from(nullptr, processors());
}

std::optional<std::size_t> cgroup2_cpu_limit(std::string_view cpu_max) noexcept {
  const std::size_t space = cpu_max.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const auto quota = parse_integer(cpu_max.substr(0, space));  // "max" does not parse
  const auto period = parse_integer(cpu_max.substr(space + 1));
  if (!quota || !period) return std::nullopt;
  return limit_from(*quota, *period);
}

std::optional<std::size_t> cgroup1_cpu_limit(std::string_view quota,
                                             std::string_view period) noexcept {
  const auto q = parse_integer(quota);
  const auto p = parse_integer(period);
  if (!q || !p) return std::nullopt;
  return limit_from(*q, *p);
}

std::size_t affinity_cpu_count() noexcept {
  // The set may be larger than cpu_set_t on big machines: grow it until the call fits.
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (!set) break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    const int rc = sched_getaffinity(0, size, set);
    const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return std::max(1, count);
    if (errno != EINVAL) break;
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

std::optional<std::size_t> cgroup_cpu_quota() noexcept {
  try {
    if (const auto v2 = read_file("/sys/fs/cgroup/cpu.max")) return cgroup2_cpu_limit(*v2);
    for (const char* dir : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
      const auto quota = read_file((std::string(dir) + "/cpu.cfs_quota_us").c_str());
      const auto period = read_file((std::string(dir) + "/cpu.cfs_period_us").c_str());
      if (quota && period) return cgroup1_cpu_limit(*quota, *period);
    }
  } catch (...) {
    // Reading failed (out of memory, stream error): size the pool as if no quota applied.
  }
  return std::nullopt;
}

PoolSizeChoice default_pool_size() {
  const EnvLookup env = [](const char* name) -> std::optional<std::string_view> {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string_view>(value) : std::nullopt;
  };
  return choose_pool_size(env, affinity_cpu_count(), cgroup_cpu_quota());
}

}  // namespace ludovec::runtime
