// How many worker threads the process-wide pool starts: environment, affinity set, CPU quota.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

namespace ludovec::runtime {

// Looks an environment variable up: its text, or nullopt when it is unset.
using EnvLookup = std::function<std::optional<std::string_view>(const char* name)>;

// An unsigned decimal with an optional leading '+', nothing else (no spaces, no sign '-');
// nullopt for anything else, including values beyond size_t.
std::optional<std::size_t> parse_thread_count(std::string_view text) noexcept;

// RAYON_NUM_THREADS when it parses: a positive value is the size, 0 asks for the processor
// default. Otherwise (unset or unparsable) RAYON_RS_NUM_CPUS when it parses to a positive value.
// Otherwise the processor default: the affinity set (at least 1), reduced to `quota_cpus` when a
// CPU quota applies.
std::size_t decide_pool_size(const EnvLookup& env, std::size_t affinity_cpus,
                             std::optional<std::size_t> quota_cpus);

// The most worker threads the pool starts, whatever the environment asks: eight per processor
// of the affinity set, and never fewer than 64. More threads than that only compete for the
// same processors, and a mistyped value (10000, 99999999999) must not start them all.
std::size_t pool_thread_cap(std::size_t affinity_cpus) noexcept;

// What decide_pool_size decided, and why: `variable` names the environment variable the size
// came from (nullptr for the processor default), `asked` is the size it gave, `threads` the
// size to start, which is `asked` capped by pool_thread_cap.
struct PoolSizeChoice {
  const char* variable = nullptr;
  std::size_t asked = 0;
  std::size_t threads = 0;
};
PoolSizeChoice choose_pool_size(const EnvLookup& env, std::size_t affinity_cpus,
                                std::optional<std::size_t> quota_cpus);

// CPUs granted by a cgroup v2 "cpu.max" text ("<quota> <period>" or "max <period>"): quota /
// period rounded down, at least 1; nullopt when unlimited or malformed.
std::optional<std::size_t> cgroup2_cpu_limit(std::string_view cpu_max) noexcept;

// The same from cgroup v1 "cpu.cfs_quota_us" and "cpu.cfs_period_us" (quota -1: unlimited).
std::optional<std::size_t> cgroup1_cpu_limit(std::string_view quota,
                                             std::string_view period) noexcept;

// The processors in this process's affinity set (at least 1).
std::size_t affinity_cpu_count() noexcept;

// The quota of this process's cgroup, v2 first, then v1; nullopt when none applies.
std::optional<std::size_t> cgroup_cpu_quota() noexcept;

// choose_pool_size for this process and its environment.
PoolSizeChoice default_pool_size();

}  // namespace ludovec::runtime
