// A batch of independent runs, for callers that want one record per run: games (a base matrix
// with a perturbation per run, or a stack), starting strategies, and what each run did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "explore/metrics.hpp"
#include "explore/neighborhood.hpp"
#include "explore/norms.hpp"
#include "math/matrix.hpp"
#include "optimizers/core.hpp"
#include "runtime/worker_pool.hpp"

namespace ludovec::explore {

// The games and starts of `count` runs, every game `rows` x `cols`. Borrowed: the caller's
// arrays must outlive the call.
struct GameBatch {
  std::size_t count = 0;
  std::size_t rows = 0, cols = 0;
  // Run k plays base + P_k, where P_k is perturbations[k * rows * cols ...] in row-major order,
  // when `perturbations` is not empty; else it plays stack.matrix(k).
  math::MatrixView base{};
  std::span<const double> perturbations;
  MatrixStackView stack;
  // Run k starts from x_starts[k * rows ...] and y_starts[k * cols ...]; empty: uniform.
  std::span<const double> x_starts, y_starts;
};

// What one run did.
struct RunRecord {
  std::uint32_t steps = 0;  // steps performed
  bool converged = false;   // the last of them had a gap strictly below the threshold
  double final_gap = std::numeric_limits<double>::quiet_NaN();  // its gap (NaN: no step)
  double metric = 0.0;  // of the gap history, the converging gap repeated to the step limit
  double norm = 0.0;    // of P_k, or of the stack's matrix k
};

// Runs every game of `batch` for at most num_steps steps, each from a copy of `optimizer` as it
// is (pass a fresh one; its vectors sized rows and cols), kExplorationLanes runs at a time per
// worker. Record k is run k's, computed exactly as a lone
// run of the general step rule computes it (and as an exploration computes its runs). Stops
// with a message naming the lengths when the optimizer's vectors, the games or the starts do not
// fit the shape (or the count); a run's own stop, or its metric's, fails the batch as in
// run_batch_exploration.
std::vector<RunRecord> run_game_batch(const GameBatch& batch,
                                      const optimizers::Optimizer& optimizer,
                                      std::uint32_t num_steps, const MetricMethod& metric,
                                      NormFunction norm,
                                      const runtime::BatchExecution& execution = {});

}  // namespace ludovec::explore
