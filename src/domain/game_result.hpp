// The histories of one run, and the run-until-convergence loop that fills them.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>

#include "domain/game_state.hpp"

namespace ludovec::domain {

inline constexpr double kConvergenceThreshold = 1e-08;

// Row t of each history is what the run saw when step t began; always num_steps rows.
struct GameResult {
  Matrix x_history;
  Matrix y_history;
  Vector gaps_history;
};

// The configuration of one run.
struct Experiment {
  std::uint32_t num_steps = 0;
};

// Steps `state` with `step(state) -> gap` until a gap is strictly below the threshold or
// num_steps steps ran, recording the strategies before each step and each returned gap.
// Rows after convergence repeat the converging row. Histories are allocated once, up front.
template <class Step>
GameResult run_until_convergence(std::uint32_t num_steps, GameState& state, Step&& step) {
  const std::size_t m = state.x.size(), n = state.y.size();
  GameResult r{Matrix(num_steps, m), Matrix(num_steps, n), Vector(num_steps, 0.0)};
  for (std::uint32_t t = 0; t < num_steps; ++t) {
    std::copy(state.x.begin(), state.x.end(), r.x_history.row(t).begin());
    std::copy(state.y.begin(), state.y.end(), r.y_history.row(t).begin());
    const double gap = step(state);
    assert(state.x.size() == m && state.y.size() == n);  // no step resizes a strategy
    r.gaps_history[t] = gap;
    if (gap < kConvergenceThreshold) {
      for (std::uint32_t u = t + 1; u < num_steps; ++u) {
        std::copy_n(r.x_history.row(t).begin(), m, r.x_history.row(u).begin());
        std::copy_n(r.y_history.row(t).begin(), n, r.y_history.row(u).begin());
        r.gaps_history[u] = gap;
      }
      break;
    }
  }
  return r;
}

}  // namespace ludovec::domain
