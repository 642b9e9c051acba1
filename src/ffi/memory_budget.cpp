#include "ffi/memory_budget.hpp"

#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <string_view>

namespace ludovec::ffi {
namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kLookAbove = std::uint64_t{64} << 20;

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The leading unsigned decimal of `text`, or nullopt ("max" and the like).
std::optional<std::uint64_t> leading_number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end == text.data()) return std::nullopt;
  return value;
}

std::uint64_t physical_memory() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return kUnlimited;
  return (Bytes(info.totalram) * info.mem_unit + Bytes(info.totalswap) * info.mem_unit).count();
}

std::uint64_t resource_limit(int resource) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnlimited;
  return limit.rlim_cur;
}

// What the address-space limit leaves: the limit less the mappings the process already has.
std::uint64_t address_space_left() {
  const std::uint64_t limit = resource_limit(RLIMIT_AS);
  if (limit == kUnlimited) return kUnlimited;
  const auto statm = read_file("/proc/self/statm");
  const auto pages = statm ? leading_number(*statm) : std::nullopt;
  const long page_size = sysconf(_SC_PAGESIZE);
  if (!pages || page_size <= 0) return limit;
  const std::uint64_t used = (Bytes(*pages) * static_cast<std::uint64_t>(page_size)).count();
  return used < limit ? limit - used : 0;
}

// The memory limit of this process's cgroup: v2 "memory.max", else v1 "memory.limit_in_bytes"
// (looked up at the process's path, then at the mount's root, where a namespaced process sees
// its own group).
std::uint64_t cgroup_limit() {
  const auto membership = read_file("/proc/self/cgroup");
  if (!membership) return kUnlimited;
  std::string_view rest = *membership;
  std::optional<std::string> v2_path, v1_path;
  while (!rest.empty()) {
    const std::size_t eol = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, eol);
    rest.remove_prefix(std::min(eol + 1, rest.size()));
    if (line.starts_with("0::")) v2_path = std::string(line.substr(3));
    const std::size_t memory = line.find(":memory:");
    if (memory != std::string_view::npos) v1_path = std::string(line.substr(memory + 8));
  }
  const auto limit_in = [](const std::string& file) {
    const auto text = read_file(file);
    const auto value = text ? leading_number(*text) : std::nullopt;
    return value.value_or(kUnlimited);
  };
  std::uint64_t limit = kUnlimited;
  if (v2_path) limit = std::min(limit, limit_in("/sys/fs/cgroup" + *v2_path + "/memory.max"));
  if (v1_path) {
    const std::string v1_root = "/sys/fs/cgroup/memory";
    const std::uint64_t own = limit_in(v1_root + *v1_path + "/memory.limit_in_bytes");
    limit = std::min(limit, own != kUnlimited ? own : limit_in(v1_root + "/memory.limit_in_bytes"));
  }
  return limit;
}

}  // namespace

std::uint64_t memory_ceiling() noexcept {
  try {
    return std::min(
        {physical_memory(), address_space_left(), resource_limit(RLIMIT_DATA), cgroup_limit()});
  } catch (...) {  // reading a limit ran out of memory itself: nothing is known
    return kUnlimited;
  }
}

std::string describe_bytes(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

void require_memory(Bytes needed, const std::string& what) {
  if (needed.count() <= kLookAbove) return;
  const std::uint64_t ceiling = memory_ceiling();
  if (needed.count() > ceiling)
    throw MemoryRefused("refused " + what + ": it needs at least " +
                        describe_bytes(needed.count()) + ", and this process can obtain at most " +
                        describe_bytes(ceiling) +
                        " (memory and swap, address-space, data-segment and cgroup limits)");
}

}  // namespace ludovec::ffi
