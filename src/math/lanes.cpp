// Which lane kernels this processor runs.
#include "math/lanes.hpp"

#include <atomic>

namespace ludovec::math {

namespace {
std::atomic<bool> widest_allowed{true};
}  // namespace

bool widest_lanes_available() noexcept {
#ifdef LUDOVEC_WIDEST_VECTORS
  // The loader's check covers the operating system's support for the registers' state too.
  static const bool present = __builtin_cpu_supports("avx512f") &&
                              __builtin_cpu_supports("avx512dq") &&
                              __builtin_cpu_supports("avx512vl") &&
                              __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return present && widest_allowed.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

namespace lanes_testing {
void allow_widest_lanes(bool allowed) noexcept {
  widest_allowed.store(allowed, std::memory_order_relaxed);
}
}  // namespace lanes_testing

}  // namespace ludovec::math
