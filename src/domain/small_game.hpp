// Square games of a few actions held in registers: gradients and duality gap, one run per lane.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "math/lanes.hpp"

namespace ludovec::domain {

// The matrix and both strategies of an N x N game, in every lane.
template <std::size_t N, std::size_t L>
struct SmallGame {
  using T = math::Lanes<L>;
  T a[N][N];
  T x[N], y[N];
};

// gx = A y and gy = -(A^T x), with the sums of compute_gradient: each from +0.0, in index order.
template <std::size_t N, std::size_t L>
[[gnu::always_inline]] inline void small_gradient(const SmallGame<N, L>& g, math::Lanes<L> (&gx)[N],
                                                  math::Lanes<L> (&gy)[N]) {
  using T = math::Lanes<L>;
  for (std::size_t i = 0; i < N; ++i) {
    T acc{};
    for (std::size_t j = 0; j < N; ++j) acc = acc + g.a[i][j] * g.y[j];
    gx[i] = acc;
  }
  for (std::size_t j = 0; j < N; ++j) {
    T acc{};
    for (std::size_t i = 0; i < N; ++i) acc = acc + g.a[i][j] * g.x[i];
    gy[j] = -acc;
  }
}

// The smallest entry under IEEE 754 totalOrder, as duality_gap takes it, for entries without
// NaN: the ordinary minimum, except that -0.0 is below +0.0 (the OR of the bit patterns of two
// equal doubles is the one with the sign bit, or either when they are identical).
template <std::size_t N, std::size_t L>
[[gnu::always_inline]] inline math::Lanes<L> total_order_min_small(const math::Lanes<L> (&v)[N]) {
  math::Lanes<L> m = v[0];
  for (std::size_t i = 1; i < N; ++i) {
    const math::Lanes<L> either =
        std::bit_cast<math::Lanes<L>>(math::lane_bits<L>(m) | math::lane_bits<L>(v[i]));
    m = m < v[i] ? m : (v[i] < m ? v[i] : either);
  }
  return m;
}

// duality_gap(gx, gy) in every lane: (-min gy) - min gx, for gradients without NaN. A step
// whose gradient holds a NaN never completes in the small kernels (its projections or its
// simplex checks fail), so a gap read from them always meets that condition.
template <std::size_t N, std::size_t L>
[[gnu::always_inline]] inline math::Lanes<L> small_duality_gap(const math::Lanes<L> (&gx)[N],
                                                               const math::Lanes<L> (&gy)[N]) {
  return -total_order_min_small<N, L>(gy) - total_order_min_small<N, L>(gx);
}

}  // namespace ludovec::domain
