// Random neighbourhood exploration: checks the bands of radii, batches the runs, collects output.
#pragma once

#include "runtime/random.hpp"
#include "explore/types.hpp"
#include "runtime/worker_pool.hpp"
#include "math/matrix.hpp"
#include "optimizers/core.hpp"

namespace ludovec::explore {

// The band of magnitudes [lo, hi]: low = lo and scale = hi - lo, lowered one ulp at a time
// until low + scale * (1 - 2^-52), the largest draw, no longer exceeds hi. Stops with a message
// containing "EmptyRange" unless lo < hi (so also for NaN), or "NonFinite" when hi - lo is
// infinite.
runtime::MagnitudeBand make_band(double lo, double hi);

// Scattered mode: one band from the inner to the outer radius, num_exploration runs with the
// configured norm, norms and metrics per run. Concentric mode: num_slices equal slices run one
// after the other, num_exploration / num_slices runs each with max_norm, the slice boundaries
// and each slice's metrics; no slices stops with "attempt to divide by zero" before any run.
// Band stops happen before the band's runs; a failing run or metric stops the whole call.
// Besides the waits of the batches, execution.cancel is asked between two slices (runtime::Cancelled,
// or its exception, follows as in runtime::WorkerPool::for_each_chunk).
ExplorationOutput random_neighborhood_exploration(const math::MatrixView& base,
                                                  optimizers::Optimizer optimizer,
                                                  const ExplorationConfig& config,
                                                  const runtime::BatchExecution& execution = {});

}  // namespace ludovec::explore
