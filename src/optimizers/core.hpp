// The learning dynamics: one Optimizer holding a variant of three plain records.
#pragma once

#include <cstdint>
#include <variant>

#include "domain/game_state.hpp"
#include "domain/run_loop.hpp"
#include "math/simplex.hpp"

namespace ludovec::optimizers {

using domain::GameResult;
using domain::GameState;
using math::Vector;

// Optimistic gradient descent-ascent with Euclidean projection onto the simplex.
struct Ogda {
  Vector x_hat;  // row player's auxiliary iterate
  Vector y_hat;  // column player's auxiliary iterate
  double eta;
};

// 2^-52, added to every entry of the mirror-descent auxiliary iterates before normalisation:
// keeps them strictly positive, so a player never loses an action for good.
inline constexpr double kOomdEpsilon = 2.220446049250313e-16;

// Optimistic multiplicative weights, online-mirror-descent form.
struct OmwuOomd {
  Vector x_hat;
  Vector y_hat;
  double eta;
};

// Optimistic multiplicative weights, follow-the-regularised-leader form.
struct OmwuOftrl {
  Vector x_grad_sum;  // sum of the row player's gradients since construction or reset
  Vector y_grad_sum;
  double eta;
};

using OptimizerEnum = std::variant<Ogda, OmwuOomd, OmwuOftrl>;

// Exactly one dynamic. Copying it is the deep clone.
struct Optimizer {
  OptimizerEnum inner;
};

// Fresh optimizers: Ogda and OmwuOomd start from the projection of the zero vector of
// length dim (uniform), stopping with "Issue computing theta" for dim 0; OmwuOftrl from
// zeros. eta is stored as given, never validated.
Ogda make_ogda(double eta, std::uint32_t dim);
OmwuOomd make_omwuoomd(double eta, std::uint32_t dim);
OmwuOftrl make_omwuoftrl(double eta, std::uint32_t dim);

// The same for games of m rows and n columns (named apart: the square ones are taken by
// address): the row player's vector has m entries, the column
// player's n (dim, dim is the square case).
Ogda make_ogda_sized(double eta, std::uint32_t m, std::uint32_t n);
OmwuOomd make_omwuoomd_sized(double eta, std::uint32_t m, std::uint32_t n);
OmwuOftrl make_omwuoftrl_sized(double eta, std::uint32_t m, std::uint32_t n);

// Scratch of the step rules for one game size, reused from step to step and run to run so
// that a step allocates nothing. A step computes its new Vectors here and swaps each into the
// state or the optimizer once it is accepted, so the replaced Vectors become the next scratch.
struct Workspace {
  Vector gx, gy;              // gradients
  Vector sx, sy;              // shifted exponentials (OmwuOomd)
  Vector x_hat, y_hat;        // next auxiliary iterates
  Vector x, y;                // next strategies (first their exponents, for OmwuOftrl)
  // One per projection of the gradient rule: each sorts from the order of its previous input.
  math::ProjectionScratch project_x_hat, project_y_hat, project_x, project_y;
  // Sizes the row player's buffers to m and the column player's to n (rows and columns of the
  // game); allocates only when a size grows beyond what is held.
  void fit(std::size_t m, std::size_t n);
};

// One step: replaces x and y of the state and the optimizer's vectors by the next ones and
// returns the duality gap of the strategies the state held when the step began. Stops leave
// behind exactly the stores made before them (see each rule).
double step(Ogda& o, GameState& s, Workspace& w);
double step(OmwuOomd& o, GameState& s, Workspace& w);
double step(OmwuOftrl& o, GameState& s, Workspace& w);
inline double step(Optimizer& opt, GameState& s, Workspace& w) {
  return std::visit([&](auto& o) { return step(o, s, w); }, opt.inner);
}

// Back to the fresh state of the same lengths (each player's its own) and eta. Ogda and OmwuOomd
// stop with "called `Result::unwrap()` on an `Err` value: \"...\"" when their vectors are empty.
void reset(Optimizer& opt);

// The run loop of an Experiment with this optimizer; state and optimizer keep what the
// last step left in them. `interrupted` is asked every few thousand steps; when it answers
// true the run throws domain::RunInterrupted, the state and the optimizer holding exactly
// what the finished steps left.
GameResult run_experiment_until_convergence(const domain::Experiment& e, GameState& s,
                                            Optimizer& opt,
                                            const domain::Interruption& interrupted = {});

}  // namespace ludovec::optimizers
