// Optimistic multiplicative weights, in mirror-descent and regularised-leader forms.
#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>

#include "math/lanes.hpp"
#include "math/simplex.hpp"
#include "math/vector_exp.hpp"
#include "optimizers/core.hpp"

namespace ludovec::optimizers {

namespace {

// f(k, i) for every entry i < n[k] of both players k = 0, 1, alternating the players while both
// have entries: each player's operations keep their index order, and the two players' chains
// of index-order sums overlap instead of running one after the other.
template <class F>
[[gnu::always_inline]] inline void for_both(const std::size_t (&n)[2], F&& f) {
  const std::size_t common = std::min(n[0], n[1]);
  std::size_t i = 0;
  for (; i < common; ++i) {
    f(0, i);
    f(1, i);
  }
  for (std::size_t k = 0; k < 2; ++k)
    for (std::size_t j = i; j < n[k]; ++j) f(k, j);
}

// v(i) <- v(i) / d: whole vectors of quotients, each the one IEEE division of its entry.
LUDOVEC_WIDE_VECTORS void divide_all(double* v, std::size_t n, double d) noexcept {
  for (std::size_t i = 0; i < n; ++i) v[i] = v[i] / d;
}

// e(i) <- exp(e(i) - max e) for both players, the maximum skipping NaN and starting from -inf;
// `l` computes the exponent l(k, i), which is written to e first.
template <class L>
[[gnu::always_inline]] inline void shifted_exps(const std::size_t (&n)[2], double* const (&e)[2],
                                                L&& l) {
  double m[2] = {-std::numeric_limits<double>::infinity(),
                 -std::numeric_limits<double>::infinity()};
  for_both(n, [&](std::size_t k, std::size_t i) {
    e[k][i] = l(k, i);
    m[k] = e[k][i] > m[k] ? e[k][i] : m[k];
  });
  for_both(n, [&](std::size_t k, std::size_t i) { e[k][i] = e[k][i] - m[k]; });
  math::exp_in_place(e[0], n[0]);
  math::exp_in_place(e[1], n[1]);
}

// Installs `next` as `dest` when it passed its simplex check, else stops with
// `message: "<check text>"`. The previous `dest` becomes scratch in `next`.
void store_checked(Vector& next, Vector& dest, bool accepted, std::string_view message) {
  if (!accepted) (void)math::S::build(std::move(next)).expect(message);
  std::swap(dest, next);
}

// p(k) <- p(k) / sum(k) for both players (p = w.x, w.y), checked, then installed as the
// state's x and y in that order, stopping at the first that fails its check.
void store_strategies(const std::size_t (&n)[2], double* const (&p)[2], const double (&sum)[2],
                      GameState& s, Workspace& w) {
  divide_all(p[0], n[0], sum[0]);
  divide_all(p[1], n[1], sum[1]);
  math::SimplexCheck check[2];
  for_both(n, [&](std::size_t k, std::size_t i) { check[k].add(p[k][i]); });
  store_checked(w.x, s.x, check[0].passed(), "x doesn't lie on the simplex");
  store_checked(w.y, s.y, check[1].passed(), "y doesn't lie on the simplex");
}

}  // namespace

// Each player: exponents l = g * (-eta), exps = exp(l - max l), hat_next = N(exps * hat + eps),
// next = N(exps * hat_next), the sums of N in index order, each vector checked on the way.
double step(OmwuOomd& o, GameState& s, Workspace& w) {
  w.fit(s.a.rows(), s.a.cols());
  domain::compute_gradient_into(s, w.gx, w.gy);
  const double neg_eta = -o.eta;
  math::require_same_length(o.x_hat.size(), w.gx.size(), "an entry-wise product");
  math::require_same_length(o.y_hat.size(), w.gy.size(), "an entry-wise product");
  const std::size_t n[2] = {w.gx.size(), w.gy.size()};
  const double* const g[2] = {w.gx.data(), w.gy.data()};
  const double* const hat[2] = {o.x_hat.data(), o.y_hat.data()};
  double* const e[2] = {w.sx.data(), w.sy.data()};
  double* const h[2] = {w.x_hat.data(), w.y_hat.data()};
  double* const p[2] = {w.x.data(), w.y.data()};

  shifted_exps(n, e, [&](std::size_t k, std::size_t i) { return g[k][i] * neg_eta; });
  double hat_sum[2] = {0.0, 0.0};
  for_both(n, [&](std::size_t k, std::size_t i) {
    h[k][i] = e[k][i] * hat[k][i] + kOomdEpsilon;
    hat_sum[k] += h[k][i];
  });
  divide_all(h[0], n[0], hat_sum[0]);
  divide_all(h[1], n[1], hat_sum[1]);
  math::SimplexCheck hat_check[2];
  double sum[2] = {0.0, 0.0};
  for_both(n, [&](std::size_t k, std::size_t i) {
    hat_check[k].add(h[k][i]);
    p[k][i] = e[k][i] * h[k][i];
    sum[k] += p[k][i];
  });
  store_strategies(n, p, sum, s, w);
  store_checked(w.x_hat, o.x_hat, hat_check[0].passed(), "x_hat doesn't lie on the simplex");
  store_checked(w.y_hat, o.y_hat, hat_check[1].passed(), "y_hat doesn't lie on the simplex");
  return domain::duality_gap(w.gx, w.gy);
}

// Each player: sum <- sum + g, complete before anything else reads it (the row player's sum is
// updated before the column player's lengths are checked), then next = N(exp(l - max l)) for
// l = (sum + g) * (-eta), the current gradient counting twice.
double step(OmwuOftrl& o, GameState& s, Workspace& w) {
  w.fit(s.a.rows(), s.a.cols());
  domain::compute_gradient_into(s, w.gx, w.gy);
  const double neg_eta = -o.eta;
  const auto accumulate = [](Vector& grad_sum, const Vector& g) {
    math::require_same_length(grad_sum.size(), g.size(), "an entry-wise sum");
    for (std::size_t i = 0; i < g.size(); ++i) grad_sum[i] = grad_sum[i] + g[i];
  };
  accumulate(o.x_grad_sum, w.gx);
  accumulate(o.y_grad_sum, w.gy);
  const std::size_t n[2] = {w.gx.size(), w.gy.size()};
  const double* const g[2] = {w.gx.data(), w.gy.data()};
  const double* const sums[2] = {o.x_grad_sum.data(), o.y_grad_sum.data()};
  double* const p[2] = {w.x.data(), w.y.data()};

  shifted_exps(n, p,
               [&](std::size_t k, std::size_t i) { return (sums[k][i] + g[k][i]) * neg_eta; });
  double sum[2] = {0.0, 0.0};
  for_both(n, [&](std::size_t k, std::size_t i) { sum[k] += p[k][i]; });
  store_strategies(n, p, sum, s, w);
  return domain::duality_gap(w.gx, w.gy);
}

}  // namespace ludovec::optimizers
