// Optimistic multiplicative weights, in mirror-descent and regularised-leader forms.
#include <limits>
#include <string_view>
#include <utility>

#include "math/simplex.hpp"
#include "math/vector_exp.hpp"
#include "optimizers/core.hpp"

namespace ludovec::optimizers {

namespace {

// The largest of v(i) * factor, NaN skipped, from -inf; the products are written to `out`.
double scaled_max(const double* v, double factor, double* out, std::size_t n) noexcept {
  double m = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = v[i] * factor;
    m = out[i] > m ? out[i] : m;
  }
  return m;
}

// v(i) <- v(i) / sum in place, returning the simplex check of the result.
math::SimplexCheck divide(double* v, std::size_t n, double sum) noexcept {
  math::SimplexCheck check;
  for (std::size_t i = 0; i < n; ++i) {
    v[i] = v[i] / sum;
    check.add(v[i]);
  }
  return check;
}

// Installs `next` as `dest` when it passed its simplex check, else stops with
// `message: "<check text>"`. The previous `dest` becomes scratch in `next`.
void store_checked(Vector& next, Vector& dest, bool accepted, std::string_view message) {
  if (!accepted) (void)math::S::build(std::move(next)).expect(message);
  std::swap(dest, next);
}

// One player of the mirror-descent rule, with exponents l = g * factor (factor = -eta):
// exps = exp(l - max l), hat_next = N(exps * hat + eps), next = N(exps * hat_next), the sums of
// N in index order, each vector computed once and checked on the way.
struct OomdPlayer {
  bool next_accepted, hat_accepted;
};
OomdPlayer oomd_player(const Vector& g, double factor, const Vector& hat, Vector& exps,
                       Vector& hat_next, Vector& next) {
  math::require_same_length(hat.size(), g.size(), "an entry-wise product");
  const std::size_t n = g.size();
  double* e = exps.data();
  double* h = hat_next.data();
  double* p = next.data();
  const double m = scaled_max(g.data(), factor, e, n);
  for (std::size_t i = 0; i < n; ++i) e[i] = e[i] - m;
  math::exp_in_place(e, n);
  double hat_sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    h[i] = e[i] * hat[i] + kOomdEpsilon;
    hat_sum += h[i];
  }
  math::SimplexCheck hat_check;
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    h[i] = h[i] / hat_sum;
    hat_check.add(h[i]);
    p[i] = e[i] * h[i];
    sum += p[i];
  }
  return {divide(p, n, sum).passed(), hat_check.passed()};
}

// One player of the regularised-leader rule: sum <- sum + g, complete before anything else
// reads it, then next = N(exp(l - max l)) for l = (sum + g) * factor, the current gradient
// counting twice. Returns whether next passed its simplex check.
bool oftrl_player(Vector& grad_sum, const Vector& g, double factor, Vector& next) {
  math::require_same_length(grad_sum.size(), g.size(), "an entry-wise sum");
  const std::size_t n = g.size();
  double* s = grad_sum.data();
  double* p = next.data();
  for (std::size_t i = 0; i < n; ++i) s[i] = s[i] + g[i];
  double m = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < n; ++i) {
    p[i] = (s[i] + g[i]) * factor;
    m = p[i] > m ? p[i] : m;
  }
  for (std::size_t i = 0; i < n; ++i) p[i] = p[i] - m;
  math::exp_in_place(p, n);
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += p[i];
  return divide(p, n, sum).passed();
}

}  // namespace

double step(OmwuOomd& o, GameState& s, Workspace& w) {
  w.fit(s.a.rows(), s.a.cols());
  domain::compute_gradient_into(s, w.gx, w.gy);
  const double neg_eta = -o.eta;
  const OomdPlayer row = oomd_player(w.gx, neg_eta, o.x_hat, w.sx, w.x_hat, w.x);
  const OomdPlayer column = oomd_player(w.gy, neg_eta, o.y_hat, w.sy, w.y_hat, w.y);
  store_checked(w.x, s.x, row.next_accepted, "x doesn't lie on the simplex");
  store_checked(w.y, s.y, column.next_accepted, "y doesn't lie on the simplex");
  store_checked(w.x_hat, o.x_hat, row.hat_accepted, "x_hat doesn't lie on the simplex");
  store_checked(w.y_hat, o.y_hat, column.hat_accepted, "y_hat doesn't lie on the simplex");
  return domain::duality_gap(w.gx, w.gy);
}

double step(OmwuOftrl& o, GameState& s, Workspace& w) {
  w.fit(s.a.rows(), s.a.cols());
  domain::compute_gradient_into(s, w.gx, w.gy);
  const double neg_eta = -o.eta;
  const bool x_accepted = oftrl_player(o.x_grad_sum, w.gx, neg_eta, w.x);
  const bool y_accepted = oftrl_player(o.y_grad_sum, w.gy, neg_eta, w.y);
  store_checked(w.x, s.x, x_accepted, "x doesn't lie on the simplex");
  store_checked(w.y, s.y, y_accepted, "y doesn't lie on the simplex");
  return domain::duality_gap(w.gx, w.gy);
}

}  // namespace ludovec::optimizers
