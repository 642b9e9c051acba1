// Optimistic gradient descent-ascent: two projected gradient steps per player and step.
#include <span>
#include <utility>

#include "math/simplex.hpp"
#include "optimizers/core.hpp"

namespace ludovec::optimizers {

namespace {

void scale_into(const Vector& g, double eta, Vector& out) {
  for (std::size_t i = 0; i < g.size(); ++i) out[i] = g[i] * eta;
}

// out = projection onto the simplex of v - s. Stops on unequal lengths before writing.
void projected_step_into(const Vector& v, const Vector& s, Vector& out, Vector& sorted) {
  math::require_same_length(v.size(), s.size(), "an entry-wise difference");
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = v[i] - s[i];
  math::simplex_projection_into(out, 1.0, out, sorted);
}

}  // namespace

double step(Ogda& o, GameState& s, Workspace& w) {
  w.fit(s.a.rows(), s.a.cols());
  domain::compute_gradient_into(s, w.gx, w.gy);
  // Both players use the same scaled gradient twice: once from the auxiliary iterate,
  // once from its successor.
  scale_into(w.gx, o.eta, w.sx);
  scale_into(w.gy, o.eta, w.sy);
  projected_step_into(o.x_hat, w.sx, w.x_hat, w.sort_x);
  projected_step_into(o.y_hat, w.sy, w.y_hat, w.sort_y);
  projected_step_into(w.x_hat, w.sx, w.x, w.sort_x);
  std::swap(s.x, w.x);
  // A stop here leaves the new x beside the old y and the old auxiliary iterates.
  projected_step_into(w.y_hat, w.sy, w.y, w.sort_y);
  std::swap(s.y, w.y);
  std::swap(o.x_hat, w.x_hat);
  std::swap(o.y_hat, w.y_hat);
  return domain::duality_gap(w.gx, w.gy);
}

}  // namespace ludovec::optimizers
