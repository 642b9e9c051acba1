// Optimistic gradient descent-ascent: two projected gradient steps per player and step.
#include <span>
#include <utility>

#include "math/simplex.hpp"
#include "optimizers/core.hpp"

namespace ludovec::optimizers {

double step(Ogda& o, GameState& s, Workspace& w) {
  w.fit(s.a.rows(), s.a.cols());
  domain::compute_gradient_into(s, w.gx, w.gy);
  // Both players step with the same scaled gradient twice: from the auxiliary iterate, then
  // from its successor. The scaled entries are recomputed where needed (the same products).
  math::projected_gradient_step_into(o.x_hat, w.gx, o.eta, w.x_hat, w.project_x_hat);
  math::projected_gradient_step_into(o.y_hat, w.gy, o.eta, w.y_hat, w.project_y_hat);
  math::projected_gradient_step_into(w.x_hat, w.gx, o.eta, w.x, w.project_x);
  std::swap(s.x, w.x);
  // A stop here leaves the new x beside the old y and the old auxiliary iterates.
  math::projected_gradient_step_into(w.y_hat, w.gy, o.eta, w.y, w.project_y);
  std::swap(s.y, w.y);
  std::swap(o.x_hat, w.x_hat);
  std::swap(o.y_hat, w.y_hat);
  return domain::duality_gap(w.gx, w.gy);
}

}  // namespace ludovec::optimizers
