// The three step rules on square games of 2 to 4 actions kept in registers, one run per lane.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>

#include "domain/small_game.hpp"
#include "math/lanes.hpp"
#include "math/small_simplex.hpp"
#include "math/vector_exp.hpp"
#include "optimizers/core.hpp"

namespace ludovec::optimizers {

inline constexpr std::size_t kSmallGameMinActions = 2, kSmallGameMaxActions = 4;

// A game with the optimizer's state, in every lane: what one run of `step` reads and writes.
template <std::size_t N, std::size_t L>
struct SmallRun {
  static constexpr std::size_t kLanes = L, kGroups = 1;
  domain::SmallGame<N, L> game;
  math::Lanes<L> first[N], second[N];  // x_hat and y_hat, or x_grad_sum and y_grad_sum
  math::Lanes<L> eta;
};

// One step of every lane: the gaps it returned, and the lanes whose step may stop. When any
// lane may stop, the step writes nothing in any lane and its gaps are meaningless; the caller
// replays it with the general `step`, which stops exactly as the rule specifies, or (for inputs
// the quick test cannot vouch for, such as huge entries) completes it.
template <std::size_t L>
struct SmallStep {
  math::Lanes<L> gap;
  math::LaneMask<L> stops;
};

// N when `s` is an N x N game with 2 <= N <= 4 and both strategies and both optimizer vectors
// have length N; 0 otherwise (the general step then runs, with its shape stops).
template <class Rule>
std::size_t small_size(const GameState& s, const Rule& o) noexcept {
  const auto& [first, second, eta] = o;
  const std::size_t n = s.a.rows();
  const bool square = s.a.cols() == n && s.x.size() == n && s.y.size() == n && first.size() == n &&
                      second.size() == n;
  return square && n >= kSmallGameMinActions && n <= kSmallGameMaxActions ? n : 0;
}

template <class Rule, std::size_t N, std::size_t L>
void load_lane(SmallRun<N, L>& r, std::size_t l, const GameState& s, const Rule& o) {
  const auto& [first, second, eta] = o;
  for (std::size_t i = 0; i < N; ++i) {
    for (std::size_t j = 0; j < N; ++j) math::set_lane<L>(r.game.a[i][j], l, s.a(i, j));
    math::set_lane<L>(r.game.x[i], l, s.x[i]);
    math::set_lane<L>(r.game.y[i], l, s.y[i]);
    math::set_lane<L>(r.first[i], l, first[i]);
    math::set_lane<L>(r.second[i], l, second[i]);
  }
  math::set_lane<L>(r.eta, l, eta);
}

// Writes the strategies and the optimizer's vectors of lane l back (the matrix never changes).
template <class Rule, std::size_t N, std::size_t L>
void store_lane(const SmallRun<N, L>& r, std::size_t l, GameState& s, Rule& o) {
  auto& [first, second, eta] = o;
  for (std::size_t i = 0; i < N; ++i) {
    s.x[i] = math::lane<L>(r.game.x[i], l);
    s.y[i] = math::lane<L>(r.game.y[i], l);
    first[i] = math::lane<L>(r.first[i], l);
    second[i] = math::lane<L>(r.second[i], l);
  }
}

namespace small_detail {

// v(i) <- v(i) - max v, the maximum skipping NaN and starting from -inf.
template <std::size_t N, std::size_t L>
[[gnu::always_inline]] inline void shift_by_max(math::Lanes<L> (&v)[N]) {
  math::Lanes<L> m = math::splat<L>(-std::numeric_limits<double>::infinity());
  for (std::size_t i = 0; i < N; ++i) m = v[i] > m ? v[i] : m;
  for (std::size_t i = 0; i < N; ++i) v[i] = v[i] - m;
}

// v(i) <- exp(v(i) - max v) and w(i) <- exp(w(i) - max w). Several runs take both players'
// exponentials in one call of the vector exp, which returns exactly what ::exp returns; a lone
// run, bound by the latency of its step, is quicker with the C library's exp on each value.
template <std::size_t N, std::size_t L>
[[gnu::always_inline]] inline void shifted_exp(math::Lanes<L> (&v)[N], math::Lanes<L> (&w)[N]) {
  shift_by_max<N, L>(v);
  shift_by_max<N, L>(w);
  if constexpr (L == 1) {
    for (std::size_t i = 0; i < N; ++i) v[i] = ::exp(v[i]);
    for (std::size_t i = 0; i < N; ++i) w[i] = ::exp(w[i]);
    return;
  }
  alignas(32) double both[2 * N * L];
  std::memcpy(both, v, sizeof v);
  std::memcpy(both + N * L, w, sizeof w);
  math::exp_lanes_in_place(both, 2 * N * L);
  std::memcpy(v, both, sizeof v);
  std::memcpy(w, both + N * L, sizeof w);
}

// v <- v / sum(v), the sum from +0.0 in index order.
template <std::size_t N, std::size_t L>
[[gnu::always_inline]] inline void normalise(math::Lanes<L> (&v)[N]) {
  math::Lanes<L> sum{};
  for (std::size_t i = 0; i < N; ++i) sum = sum + v[i];
  for (std::size_t i = 0; i < N; ++i) v[i] = v[i] / sum;
}

template <std::size_t N, std::size_t L>
[[gnu::always_inline]] inline void assign(math::Lanes<L> (&to)[N],
                                          const math::Lanes<L> (&from)[N]) {
  for (std::size_t i = 0; i < N; ++i) to[i] = from[i];
}

}  // namespace small_detail

// The rule of `Rule` (Ogda, OmwuOomd or OmwuOftrl) in every lane, with the arithmetic of
// `step(Rule&, GameState&, Workspace&)` operation for operation.
template <class Rule, std::size_t N, std::size_t L>
[[gnu::always_inline]] inline SmallStep<L> step_small(SmallRun<N, L>& r) {
  using T = math::Lanes<L>;
  using namespace small_detail;
  T gx[N], gy[N];
  domain::small_gradient<N, L>(r.game, gx, gy);
  const T gap = domain::small_duality_gap<N, L>(gx, gy);

  if constexpr (std::is_same_v<Rule, Ogda>) {
    T sx[N], sy[N], d[N], x_hat[N], y_hat[N], x[N], y[N];
    for (std::size_t i = 0; i < N; ++i) sx[i] = gx[i] * r.eta;
    for (std::size_t i = 0; i < N; ++i) sy[i] = gy[i] * r.eta;
    for (std::size_t i = 0; i < N; ++i) d[i] = r.first[i] - sx[i];
    T extent = math::project_small<N, L>(d, x_hat);
    for (std::size_t i = 0; i < N; ++i) d[i] = r.second[i] - sy[i];
    extent = extent + math::project_small<N, L>(d, y_hat);
    for (std::size_t i = 0; i < N; ++i) d[i] = x_hat[i] - sx[i];
    extent = extent + math::project_small<N, L>(d, x);
    for (std::size_t i = 0; i < N; ++i) d[i] = y_hat[i] - sy[i];
    extent = extent + math::project_small<N, L>(d, y);
    // Not below the bound (NaN included): some projection may stop; the general rule decides.
    const auto stops = (extent < math::kSafeProjectionExtent) == math::no_lane<L>();
    if (math::any_lane<L>(stops)) return {gap, stops};
    assign<N, L>(r.game.x, x);
    assign<N, L>(r.game.y, y);
    assign<N, L>(r.first, x_hat);
    assign<N, L>(r.second, y_hat);
  } else if constexpr (std::is_same_v<Rule, OmwuOomd>) {
    const T neg_eta = -r.eta;
    T ex[N], ey[N], x_hat[N], y_hat[N], x[N], y[N];
    for (std::size_t i = 0; i < N; ++i) ex[i] = gx[i] * neg_eta;
    for (std::size_t i = 0; i < N; ++i) ey[i] = gy[i] * neg_eta;
    shifted_exp<N, L>(ex, ey);
    for (std::size_t i = 0; i < N; ++i) x_hat[i] = ex[i] * r.first[i] + kOomdEpsilon;
    normalise<N, L>(x_hat);
    for (std::size_t i = 0; i < N; ++i) x[i] = ex[i] * x_hat[i];
    normalise<N, L>(x);
    for (std::size_t i = 0; i < N; ++i) y_hat[i] = ey[i] * r.second[i] + kOomdEpsilon;
    normalise<N, L>(y_hat);
    for (std::size_t i = 0; i < N; ++i) y[i] = ey[i] * y_hat[i];
    normalise<N, L>(y);
    const auto accepted = math::on_simplex_small<N, L>(x) & math::on_simplex_small<N, L>(y) &
                          math::on_simplex_small<N, L>(x_hat) & math::on_simplex_small<N, L>(y_hat);
    const auto stops = accepted == math::no_lane<L>();
    if (math::any_lane<L>(stops)) return {gap, stops};
    assign<N, L>(r.game.x, x);
    assign<N, L>(r.game.y, y);
    assign<N, L>(r.first, x_hat);
    assign<N, L>(r.second, y_hat);
  } else {
    static_assert(std::is_same_v<Rule, OmwuOftrl>);
    const T neg_eta = -r.eta;
    T x_sum[N], y_sum[N], x[N], y[N];
    for (std::size_t i = 0; i < N; ++i) x_sum[i] = r.first[i] + gx[i];
    for (std::size_t i = 0; i < N; ++i) y_sum[i] = r.second[i] + gy[i];
    for (std::size_t i = 0; i < N; ++i) x[i] = (x_sum[i] + gx[i]) * neg_eta;
    for (std::size_t i = 0; i < N; ++i) y[i] = (y_sum[i] + gy[i]) * neg_eta;
    shifted_exp<N, L>(x, y);
    normalise<N, L>(x);
    normalise<N, L>(y);
    const auto accepted = math::on_simplex_small<N, L>(x) & math::on_simplex_small<N, L>(y);
    const auto stops = accepted == math::no_lane<L>();
    if (math::any_lane<L>(stops)) return {gap, stops};
    assign<N, L>(r.game.x, x);
    assign<N, L>(r.game.y, y);
    assign<N, L>(r.first, x_sum);
    assign<N, L>(r.second, y_sum);
  }
  return {gap, math::no_lane<L>()};
}

}  // namespace ludovec::optimizers
