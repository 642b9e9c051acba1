#include "explore/gap_run.hpp"

#include "domain/run_loop.hpp"
#include "optimizers/run.hpp"

namespace ludovec::explore {

void run_gaps_until_convergence(domain::GameState& state, optimizers::Optimizer& optimizer,
                                optimizers::Workspace& workspace, std::span<double> gaps,
                                const domain::Interruption& interrupted) {
  domain::GapRecorder recorder(gaps);
  optimizers::run_recorded(static_cast<std::uint32_t>(gaps.size()), state, optimizer, workspace,
                           recorder, interrupted);
}

}  // namespace ludovec::explore
