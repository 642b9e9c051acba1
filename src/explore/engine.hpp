// The batch engine: many perturbed runs around one base matrix, in parallel, in index order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <vector>

#include "domain/game_state.hpp"
#include "explore/lane_driver.hpp"
#include "explore/metrics.hpp"
#include "explore/norms.hpp"
#include "explore/types.hpp"
#include "math/matrix.hpp"
#include "optimizers/core.hpp"
#include "runtime/random.hpp"
#include "runtime/worker_pool.hpp"

namespace ludovec::explore {

// The working context of one chunk of runs, built on the worker that runs the chunk and
// reused by its runs one after the other; every run starts clean.
struct Exploration {
  // Clones `optimizer`, builds the state from a private copy of `base` (stops with "unable to
  // build x" / "unable to build y" when it has no rows / no columns) and sizes the workspace
  // and the gap buffer once. `base` and `rng` must outlive the context.
  Exploration(const math::MatrixView& base, const optimizers::Optimizer& optimizer,
              const runtime::MagnitudeBand& band, std::uint32_t num_steps, NormFunction norm,
              const MetricMethod& metric, runtime::ChaChaRng& rng);

  // Resets the optimizer, restores uniform strategies, overwrites the working matrix in
  // storage order with a fresh perturbation (per entry: magnitude, then the sign coin; the coin
  // true gives -magnitude), measures it, adds the base matrix and runs to convergence.
  // Returns the perturbation's norm and the metric of the run's gaps, which stay in `gaps`.
  // Throws domain::RunInterrupted when `interrupted` ends the run early.
  RandomGameResult execute_clean_run(const domain::Interruption& interrupted = {});

  optimizers::Optimizer optimizer;
  math::MatrixView base;
  domain::GameState state;  // state.a is the working matrix
  runtime::ChaChaRng& rng;
  NormFunction norm;
  std::uint32_t num_steps;
  runtime::MagnitudeBand band;
  MetricMethod metric;
  optimizers::Workspace workspace;
  math::Vector gaps;  // the last run's gap history, num_steps entries
};

// The working context of one chunk of runs on a square game of 2 actions or more (the optimizer
// of the same size), whose runs are stepped kExplorationLanes at a time, one per lane of a
// vector: games of 2 to 4 actions held in registers (optimizers::step_small), larger ones in
// memory laid out lane by lane (optimizers::step_lanes), kWidestExplorationLanes at a time for
// the sizes that have no kernels of their own where the processor runs those lanes. Every run
// computes exactly what Exploration::execute_clean_run computes for the same perturbation. Runs
// start in index order, each drawing its whole perturbation (per entry in storage order: magnitude,
// then coin) when it starts, and a run that ends early hands its lane to the next run of the chunk.
struct LaneExploration {
  // Whether the lanes can run this batch: a square base matrix of 2 rows or more and an
  // optimizer of that size (any other batch runs one run at a time, as its first step stops it
  // anyway).
  static bool applies(const math::MatrixView& base, const optimizers::Optimizer& optimizer);

  // As Exploration's constructor; requires applies(base, optimizer).
  LaneExploration(const math::MatrixView& base, const optimizers::Optimizer& optimizer,
                  const runtime::MagnitudeBand& band, std::uint32_t num_steps, NormFunction norm,
                  const MetricMethod& metric, runtime::ChaChaRng& rng);

  // Runs indices [begin, end) and writes run i's result to out[i]. Once `stop` is requested no
  // further run starts and the runs in flight are abandoned within a few thousand steps. A stop
  // inside a run (replayed by the general step rule, see optimizers::SmallStep) or inside its
  // metric propagates.
  void run(std::size_t begin, std::size_t end, std::span<RandomGameResult> out,
           const runtime::BatchStop& stop);

  using Runner = std::exception_ptr (*)(LaneExploration&, std::size_t, std::size_t,
                                        std::span<RandomGameResult>,
                                        const runtime::BatchStop&) noexcept;

  optimizers::Optimizer fresh;  // the batch's optimizer after reset: every run's start
  math::MatrixView base;
  domain::GameState state;  // scratch: each run's perturbed matrix, and a lane being replayed
  runtime::ChaChaRng& rng;
  NormFunction norm;
  std::uint32_t num_steps;
  runtime::MagnitudeBand band;
  MetricMethod metric;
  optimizers::Workspace workspace;  // for a replayed step
  // Per lane, what the metric reads of the gap history of the lane's run: its tail, or a
  // running sum; never the whole history, so the lanes hold less than one run made alone.
  std::vector<GapReducer> gaps;
  Runner runner;  // the kernels for this rule and size, chosen once
};

// Runs `count` perturbed runs on the pool; entry k is run k's result whatever worker ran it.
// Each chunk builds one context (a LaneExploration when the lanes apply, else an Exploration),
// so a batch builds at least one even for count 0 (an empty base matrix stops with the "unable to
// build" message). The first failure of any run (including the metric's) is rethrown after
// the batch drained; nothing partial returns.
std::vector<RandomGameResult> run_batch_exploration(const math::MatrixView& base,
                                                    optimizers::Optimizer optimizer,
                                                    const runtime::MagnitudeBand& band,
                                                    std::uint32_t count, std::uint32_t num_steps,
                                                    NormFunction norm, const MetricMethod& metric,
                                                    const runtime::BatchExecution& execution = {});

}  // namespace ludovec::explore
