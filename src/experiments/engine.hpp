// The batch engine: many perturbed runs around one base matrix, in parallel, in index order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "domain/game_state.hpp"
#include "experiments/metrics.hpp"
#include "experiments/norms.hpp"
#include "experiments/random.hpp"
#include "experiments/types.hpp"
#include "experiments/worker_pool.hpp"
#include "math/matrix.hpp"
#include "optimizers/core.hpp"

namespace ludovec::experiments {

// The working context of one chunk of runs, built on the worker that runs the chunk and
// reused by its runs one after the other; every run starts clean.
struct Exploration {
  // Clones `optimizer`, builds the state from a private copy of `base` (stops with "unable to
  // build x" / "unable to build y" when it has no rows / no columns) and sizes the workspace
  // and the gap buffer once. `base` and `rng` must outlive the context.
  Exploration(const math::MatrixView& base, const optimizers::Optimizer& optimizer,
              const MagnitudeBand& band, std::uint32_t num_steps, NormFunction norm,
              const MetricMethod& metric, ChaChaRng& rng);

  // Resets the optimizer, restores uniform strategies, overwrites the working matrix in
  // storage order with a fresh perturbation (per entry: magnitude, then the sign coin; the coin
  // true gives -magnitude), measures it, adds the base matrix and runs to convergence.
  // Returns the perturbation's norm and the metric of the run's gaps, which stay in `gaps`.
  RandomGameResult execute_clean_run();

  optimizers::Optimizer optimizer;
  math::MatrixView base;
  domain::GameState state;  // state.a is the working matrix
  ChaChaRng& rng;
  NormFunction norm;
  std::uint32_t num_steps;
  MagnitudeBand band;
  MetricMethod metric;
  optimizers::Workspace workspace;
  math::Vector gaps;  // the last run's gap history, num_steps entries
};

// Runs `count` perturbed runs on the pool; entry k is run k's result whatever worker ran it.
// Each chunk builds one Exploration, so a batch builds at least one context even for count 0
// (an empty base matrix stops with the "unable to build" message). The first failure of any
// run (including the metric's) is rethrown after the batch drained; nothing partial returns.
std::vector<RandomGameResult> run_batch_exploration(const math::MatrixView& base,
                                                    optimizers::Optimizer optimizer,
                                                    const MagnitudeBand& band,
                                                    std::uint32_t count,
                                                    std::uint32_t num_steps, NormFunction norm,
                                                    const MetricMethod& metric,
                                                    const BatchExecution& execution = {});

}  // namespace ludovec::experiments
