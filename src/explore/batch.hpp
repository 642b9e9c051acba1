// A batch of independent runs, for callers that want one record per run: games (a base matrix
// with a perturbation per run, or a stack), starting strategies, what each run did, and the
// trajectories of a few of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "explore/metrics.hpp"
#include "explore/neighborhood.hpp"
#include "explore/norms.hpp"
#include "math/matrix.hpp"
#include "optimizers/core.hpp"
#include "runtime/random.hpp"
#include "runtime/worker_pool.hpp"

namespace ludovec::explore {

// Perturbations drawn as each run starts: run k's is runtime::draw_perturbation of the stream
// SeededStream(seed, first_run + k) over the game's entries in row-major order, so that it is a
// function of (seed, first_run + k) alone, whatever the batch, the worker or the lane.
struct SeededPerturbations {
  std::uint64_t seed = 0;
  std::uint64_t first_run = 0;
  runtime::MagnitudeBand band{};
};

// The games and starts of `count` runs, every game `rows` x `cols`. Borrowed: the caller's
// arrays must outlive the call.
struct GameBatch {
  std::size_t count = 0;
  std::size_t rows = 0, cols = 0;
  // Run k plays base + P_k: P_k drawn by `seeded` when it is set, else perturbations[k * rows *
  // cols ...] in row-major order when `perturbations` is not empty; else run k plays
  // stack.matrix(k), rescaled to [0, 1] by normalize_to_unit_range when `normalize`.
  math::MatrixView base{};
  std::span<const double> perturbations;
  MatrixStackView stack;
  // Run k starts from x_starts[k * rows ...] and y_starts[k * cols ...]; a start of `rows`
  // (`cols`) entries is shared by every run; empty: uniform, each entry 1 / rows (1 / cols).
  std::span<const double> x_starts, y_starts;
  std::optional<SeededPerturbations> seeded;
  bool normalize = false;
};

// What one run did.
struct RunRecord {
  std::uint32_t steps = 0;  // steps performed
  bool converged = false;   // the last of them had a gap strictly below the threshold
  double final_gap = std::numeric_limits<double>::quiet_NaN();  // its gap (NaN: no step)
  double metric = 0.0;  // of the gap history, the converging gap repeated to the step limit
  // Of the run's perturbation P_k (max_norm, infinity_norm, frobenius_norm); NaN for a stack.
  double norm_max = std::numeric_limits<double>::quiet_NaN();
  double norm_infinity = std::numeric_limits<double>::quiet_NaN();
  double norm_frobenius = std::numeric_limits<double>::quiet_NaN();
};

// The runs whose trajectories are recorded, and where.
struct KeepRequest {
  std::span<const std::size_t> runs;     // sorted, unique, each below the batch's count
  std::span<const std::uint64_t> steps;  // sorted, unique, 1-based: step s is step index s - 1
  std::span<const double> tolerances;
};

// The trajectory of one kept run. Entry i of `steps` is a recorded step (1-based): the
// requested ones up to the last step performed, and that last one always; gaps[i] is its gap,
// and rows i of x (steps.size() x rows) and y (steps.size() x cols) the strategies when it
// began. x_final and y_final are those of the last step performed (the starts when none was).
// tolerance_steps[j]: the first step whose gap is strictly below tolerances[j], or -1.
struct KeptRun {
  std::vector<std::uint64_t> steps;
  math::Vector gaps, x, y;
  math::Vector x_final, y_final;
  std::vector<std::int64_t> tolerance_steps;
};

struct BatchSettings {
  std::uint32_t num_steps = 0;
  MetricMethod metric = MaxLast{0.1};
  KeepRequest keep{};
};

struct BatchOutput {
  std::vector<RunRecord> records;  // one per run, in index order
  std::vector<KeptRun> kept;       // one per keep.runs entry, in that order
};

// P for the run `run` of a study with `seed`: draw_perturbation into out (row-major).
void seeded_perturbation(std::uint64_t seed, std::uint64_t run, const runtime::MagnitudeBand& band,
                         std::span<double> out) noexcept;

// Runs every game of `batch` for at most settings.num_steps steps, each from a copy of
// `optimizer` as it is (pass a fresh one; its vectors sized rows and cols), kExplorationLanes
// runs at a time per worker (kWidestExplorationLanes where those lanes apply); the kept runs are
// made one at a time by the general step rule on the worker that meets them. Record k is run k's,
// computed exactly as a lone run of the general step rule computes it (and as an exploration
// computes its runs). When execution.progress is set, the run-steps done are added to it as the
// runs go (a finished run counts num_steps), at the lanes' looks at the stop flag and at the end of
// each chunk. Stops with a message naming the lengths when the optimizer's vectors, the games or
// the starts do not fit the shape (or the count); a run's own stop, or its metric's, fails the
// batch as in run_batch_exploration.
BatchOutput run_game_batch(const GameBatch& batch, const optimizers::Optimizer& optimizer,
                           const BatchSettings& settings,
                           const runtime::BatchExecution& execution = {});

}  // namespace ludovec::explore
