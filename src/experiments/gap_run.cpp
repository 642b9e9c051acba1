#include "experiments/gap_run.hpp"

#include <algorithm>

#include "domain/game_result.hpp"

namespace ludovec::experiments {

void run_gaps_until_convergence(domain::GameState& state, optimizers::Optimizer& optimizer,
                                optimizers::Workspace& workspace, std::span<double> gaps) {
  for (std::size_t t = 0; t < gaps.size(); ++t) {
    const double gap = optimizers::step(optimizer, state, workspace);
    gaps[t] = gap;
    if (gap < domain::kConvergenceThreshold) {
      std::fill(gaps.begin() + static_cast<std::ptrdiff_t>(t) + 1, gaps.end(), gap);
      return;
    }
  }
}

}  // namespace ludovec::experiments
