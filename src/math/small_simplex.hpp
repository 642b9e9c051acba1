// The simplex projection and check for vectors of a few entries, unrolled, one run per lane.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "math/lanes.hpp"
#include "math/simplex.hpp"

namespace ludovec::math {

// Compare-exchange pairs that sort N entries (optimal networks for 2, 3 and 4).
template <std::size_t N>
constexpr auto kSortingNetwork = [] {
  static_assert(N >= 2 && N <= 4, "networks exist for 2 to 4 entries");
  if constexpr (N == 2) return std::array<std::pair<int, int>, 1>{{{0, 1}}};
  if constexpr (N == 3) return std::array<std::pair<int, int>, 3>{{{0, 1}, {1, 2}, {0, 1}}};
  if constexpr (N == 4)
    return std::array<std::pair<int, int>, 5>{{{0, 1}, {2, 3}, {0, 2}, {1, 3}, {1, 2}}};
}();

// Below this bound on the largest entry and on the total, the projection neither meets a NaN nor
// lacks a threshold: t_1 = u_1 - 1 rounds to less than u_1, so position 1 always qualifies.
inline constexpr double kSafeProjectionExtent = 0x1p52;

// In every lane, out = the Euclidean projection of d onto {w >= 0, sum w = 1}, computed as
// simplex_projection does: entries sorted largest first, running sums, the threshold
// (S_j - 1) / j of the last position j whose entry exceeds it, then max(d_i - theta, +0.0).
// Returns |u_1| + |S_N|, the largest entry and the total in magnitude; when that is below
// kSafeProjectionExtent (a NaN or an infinity never is), `out` is exactly simplex_projection(d),
// else the general projection must decide, possibly with a stop.
//
// Equal entries may leave the network in either order: they are equal doubles or zeros of either
// sign. The sums start from u_1 rather than from +0.0 + u_1: they differ at most in the sign of
// a zero sum, and a sum is only ever read through S_j - 1, which a zero's sign does not change.
template <std::size_t N, std::size_t L>
[[gnu::always_inline]] inline Lanes<L> project_small(const Lanes<L> (&d)[N], Lanes<L> (&out)[N]) {
  using T = Lanes<L>;
  T u[N];
  for (std::size_t i = 0; i < N; ++i) u[i] = d[i];
  for (const auto& [i, j] : kSortingNetwork<N>) {  // a permutation whatever the values
    const auto swap = u[i] < u[j];
    const T hi = swap ? u[j] : u[i];
    u[j] = swap ? u[i] : u[j];
    u[i] = hi;
  }
  T sum = u[0];
  T theta = sum - 1.0;  // position 1 qualifies within the safe extent
  for (std::size_t j = 1; j < N; ++j) {
    sum = sum + u[j];
    const T t = (sum - 1.0) / static_cast<double>(j + 1);
    theta = u[j] > t ? t : theta;
  }
  for (std::size_t i = 0; i < N; ++i) {
    const T w = d[i] - theta;
    out[i] = w > 0.0 ? w : T{};
  }
  return magnitude<L>(u[0]) + magnitude<L>(sum);
}

// In every lane, whether v passes lies_on_simplex: all entries >= 0.0 and the index-order sum
// from -0.0 within kSimplexTolerance of 1.0.
template <std::size_t N, std::size_t L>
[[gnu::always_inline]] inline LaneMask<L> on_simplex_small(const Lanes<L> (&v)[N]) {
  Lanes<L> sum = splat<L>(-0.0);
  LaneMask<L> non_negative = v[0] >= 0.0;
  for (std::size_t i = 0; i < N; ++i) {
    sum = sum + v[i];
    non_negative &= v[i] >= 0.0;
  }
  const Lanes<L> distance = sum + -1.0;  // |distance| < tolerance, NaN failing
  return non_negative & (distance < kSimplexTolerance) & (distance > -kSimplexTolerance);
}

}  // namespace ludovec::math
