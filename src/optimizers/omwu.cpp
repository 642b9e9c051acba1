// Optimistic multiplicative weights, in mirror-descent and regularised-leader forms.
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include "math/simplex.hpp"
#include "optimizers/core.hpp"

namespace ludovec::optimizers {

namespace {

// 2^-52: keeps every entry of an auxiliary iterate strictly positive, so a player never
// loses an action for good.
constexpr double kEpsilon = 2.220446049250313e-16;

// Largest entry, NaN entries skipped; -inf when there is none.
double max_skipping_nan(const Vector& v) {
  double r = -std::numeric_limits<double>::infinity();
  for (double e : v)
    if (e > r) r = e;
  return r;
}

// v(i) <- exp(v(i) - max v). The largest exponent becomes exp(0) = 1, so nothing overflows.
void shifted_exp_in_place(Vector& v) {
  const double m = max_skipping_nan(v);
  for (double& e : v) e = std::exp(e - m);
}

// v <- v / sum(v).
void normalise(Vector& v) {
  double sum = 0.0;
  for (double e : v) sum += e;
  for (double& e : v) e = e / sum;
}

// Installs `next` as `dest` once it lies on the simplex, else stops with
// `message: "<check text>"`. The previous `dest` becomes scratch in `next`.
void store_checked(Vector& next, Vector& dest, std::string_view message) {
  next = math::S::build(std::move(next)).expect(message);
  std::swap(dest, next);
}

// hat_next = N(exps * hat + eps), then next = N(exps * hat_next): the optimistic pair of
// one player, with `exps` the shifted exponentials of that player's exponents.
void oomd_pair(const Vector& exps, const Vector& hat, Vector& hat_next, Vector& next) {
  math::require_same_length(hat.size(), exps.size(), "an entry-wise product");
  for (std::size_t i = 0; i < exps.size(); ++i) hat_next[i] = exps[i] * hat[i] + kEpsilon;
  normalise(hat_next);
  for (std::size_t i = 0; i < exps.size(); ++i) next[i] = exps[i] * hat_next[i];
  normalise(next);
}

// sum <- sum + g, in place and complete before anything else reads it.
void accumulate(Vector& sum, const Vector& g) {
  math::require_same_length(sum.size(), g.size(), "an entry-wise sum");
  for (std::size_t i = 0; i < g.size(); ++i) sum[i] = sum[i] + g[i];
}

}  // namespace

double step(OmwuOomd& o, GameState& s, Workspace& w) {
  w.fit(s.a.rows(), s.a.cols());
  domain::compute_gradient_into(s, w.gx, w.gy);
  const double neg_eta = -o.eta;
  for (std::size_t i = 0; i < w.gx.size(); ++i) w.sx[i] = w.gx[i] * neg_eta;
  for (std::size_t j = 0; j < w.gy.size(); ++j) w.sy[j] = w.gy[j] * neg_eta;
  // Both uses of a player's exponentials see identical values, so they are taken once.
  shifted_exp_in_place(w.sx);
  shifted_exp_in_place(w.sy);
  oomd_pair(w.sx, o.x_hat, w.x_hat, w.x);
  oomd_pair(w.sy, o.y_hat, w.y_hat, w.y);
  store_checked(w.x, s.x, "x doesn't lie on the simplex");
  store_checked(w.y, s.y, "y doesn't lie on the simplex");
  store_checked(w.x_hat, o.x_hat, "x_hat doesn't lie on the simplex");
  store_checked(w.y_hat, o.y_hat, "y_hat doesn't lie on the simplex");
  return domain::duality_gap(w.gx, w.gy);
}

double step(OmwuOftrl& o, GameState& s, Workspace& w) {
  w.fit(s.a.rows(), s.a.cols());
  domain::compute_gradient_into(s, w.gx, w.gy);
  accumulate(o.x_grad_sum, w.gx);
  accumulate(o.y_grad_sum, w.gy);
  // The current gradient counts twice: once in the stored sum, once as the prediction.
  const double neg_eta = -o.eta;
  for (std::size_t i = 0; i < w.gx.size(); ++i) w.x[i] = (o.x_grad_sum[i] + w.gx[i]) * neg_eta;
  for (std::size_t j = 0; j < w.gy.size(); ++j) w.y[j] = (o.y_grad_sum[j] + w.gy[j]) * neg_eta;
  shifted_exp_in_place(w.x);
  shifted_exp_in_place(w.y);
  normalise(w.x);
  normalise(w.y);
  store_checked(w.x, s.x, "x doesn't lie on the simplex");
  store_checked(w.y, s.y, "y doesn't lie on the simplex");
  return domain::duality_gap(w.gx, w.gy);
}

}  // namespace ludovec::optimizers
