// Random neighbourhood exploration: checks the bands of radii, batches the runs, collects output.
#pragma once

#include "explore/types.hpp"
#include "math/matrix.hpp"
#include "optimizers/core.hpp"
#include "runtime/random.hpp"
#include "runtime/worker_pool.hpp"

namespace ludovec::explore {

// The band of magnitudes [lo, hi]: low = lo and scale = hi - lo, lowered one ulp at a time
// until low + scale * (1 - 2^-52), the largest draw, no longer exceeds hi. Stops with a message
// containing "EmptyRange" unless lo < hi (so also for NaN), or "NonFinite" when hi - lo is
// infinite.
runtime::MagnitudeBand make_band(double lo, double hi);

// One band from the inner to the outer radius: num_exploration runs, the `norm` of each run's
// perturbation and its metric. The band's stops happen before any run; a failing run or metric
// stops the whole call.
ScatteredOutput scattered_exploration(const math::MatrixView& base, optimizers::Optimizer optimizer,
                                      const ExplorationConfig& config, NormType norm,
                                      const runtime::BatchExecution& execution = {});

// The band cut into num_slices equal slices run one after the other, num_exploration /
// num_slices runs each measured with max_norm: the slice boundaries and each slice's metrics.
// No slices stops with "attempt to divide by zero" before any run; a slice's band stops before
// its runs. Besides the waits of the batches, execution.cancel is asked between two slices
// (runtime::Cancelled, or its exception, follows as in runtime::WorkerPool::for_each_chunk).
ConcentricOutput concentric_exploration(const math::MatrixView& base,
                                        const optimizers::Optimizer& optimizer,
                                        const ExplorationConfig& config, std::uint32_t num_slices,
                                        const runtime::BatchExecution& execution = {});

}  // namespace ludovec::explore
