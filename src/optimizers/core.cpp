// Construction, reset, workspace sizing and the run loop of the optimizer family.
#include "optimizers/core.hpp"

#include <utility>

#include "math/simplex.hpp"
#include "optimizers/run.hpp"

namespace ludovec::optimizers {

namespace {

// The uniform starting iterate, obtained as the projection of the origin onto the simplex.
Vector projected_origin(std::uint32_t dim) {
  return math::simplex_projection(Vector(dim, 0.0), 1.0);
}

// Refills `v` with n entries 1.0 / n in its own storage and keeps it only if it passes the
// simplex check. n == 0 is the only refusal, and an empty v is then left empty, exactly as
// if the refused vector had never been stored.
void refill_uniform(Vector& v, std::size_t n, double u) {
  v.assign(n, u);
  v = math::S::build(std::move(v)).expect("called `Result::unwrap()` on an `Err` value");
}

// Each player's iterate keeps its own length: the players of an m x n game differ.
template <class Hat>
void reset_hats(Hat& o) {
  const std::size_t m = o.x_hat.size(), n = o.y_hat.size();
  refill_uniform(o.x_hat, m, 1.0 / static_cast<double>(m));
  refill_uniform(o.y_hat, n, 1.0 / static_cast<double>(n));
}

void reset_one(Ogda& o) { reset_hats(o); }
void reset_one(OmwuOomd& o) { reset_hats(o); }
void reset_one(OmwuOftrl& o) {
  o.x_grad_sum.assign(o.x_grad_sum.size(), 0.0);
  o.y_grad_sum.assign(o.y_grad_sum.size(), 0.0);
}

}  // namespace

Ogda make_ogda(double eta, std::uint32_t dim) { return make_ogda_sized(eta, dim, dim); }
OmwuOomd make_omwuoomd(double eta, std::uint32_t dim) { return make_omwuoomd_sized(eta, dim, dim); }
OmwuOftrl make_omwuoftrl(double eta, std::uint32_t dim) {
  return make_omwuoftrl_sized(eta, dim, dim);
}

Ogda make_ogda_sized(double eta, std::uint32_t m, std::uint32_t n) {
  Vector x_hat = projected_origin(m);
  Vector y_hat = projected_origin(n);
  return {std::move(x_hat), std::move(y_hat), eta};
}

OmwuOomd make_omwuoomd_sized(double eta, std::uint32_t m, std::uint32_t n) {
  Vector x_hat = projected_origin(m);
  Vector y_hat = projected_origin(n);
  return {std::move(x_hat), std::move(y_hat), eta};
}

OmwuOftrl make_omwuoftrl_sized(double eta, std::uint32_t m, std::uint32_t n) {
  return {Vector(m, 0.0), Vector(n, 0.0), eta};
}

void Workspace::fit(std::size_t m, std::size_t n) {
  if (gx.size() == m && gy.size() == n) return;  // every buffer is sized together
  for (Vector* v : {&gx, &sx, &x_hat, &x}) v->resize(m);
  for (Vector* v : {&gy, &sy, &y_hat, &y}) v->resize(n);
  project_x_hat.fit(m);
  project_x.fit(m);
  project_y_hat.fit(n);
  project_y.fit(n);
}

void reset(Optimizer& opt) {
  std::visit([](auto& o) { reset_one(o); }, opt.inner);
}

GameResult run_experiment_until_convergence(const domain::Experiment& e, GameState& s,
                                            Optimizer& opt,
                                            const domain::Interruption& interrupted) {
  domain::HistoryRecorder recorder(e.num_steps, s.x.size(), s.y.size());
  Workspace w;
  run_recorded(e.num_steps, s, opt, w, recorder, interrupted);
  return std::move(recorder).take();
}

}  // namespace ludovec::optimizers
