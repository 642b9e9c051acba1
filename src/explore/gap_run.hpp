// The run-until-convergence loop for runs whose only reader is a metric of the duality gaps.
#pragma once

#include <cstdint>
#include <span>

#include "domain/game_state.hpp"
#include "optimizers/core.hpp"

namespace ludovec::explore {

// Steps `state` exactly as the full run loop does (same steps, same strict threshold, the
// converging gap repeated to the end) but records only the gaps, into `gaps`, whose length is
// the step limit. Allocates nothing: `workspace` must already fit the game. Throws
// domain::RunInterrupted when `interrupted` ends the run early.
void run_gaps_until_convergence(domain::GameState& state, optimizers::Optimizer& optimizer,
                                optimizers::Workspace& workspace, std::span<double> gaps,
                                const domain::Interruption& interrupted = {});

}  // namespace ludovec::explore
