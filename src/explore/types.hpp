// The records of a random exploration: its settings, one run's outcome and the output.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "explore/metrics.hpp"
#include "explore/norms.hpp"
#include "math/matrix.hpp"

namespace ludovec::explore {

// One perturbed run, reduced as soon as it finished: the norm of its perturbation and the
// metric of its gap history. Nobody reads a random run's strategy histories, so the engine
// never keeps them (nor a whole gap history beyond its run), which bounds a batch's memory by
// its chunks instead of by count * num_steps * (rows + cols + 1) values.
struct RandomGameResult {
  double norm = 0.0;
  double metric = 0.0;
};

struct ExplorationConfig {
  MetricMethod metric;
  std::uint32_t num_exploration = 0;  // runs requested in all
  std::uint32_t num_steps = 0;        // step limit of every run
  double inner_radius = 0.0;          // the radii bound each perturbation entry's magnitude
  double outer_radius = 0.0;
};

// norms[k] and metrics[k] belong to run k.
struct ScatteredOutput {
  math::Vector norms;
  math::Vector metrics;
};

// slice_boundaries[t] = (lower, upper) radius of slice t; metrics[t] holds its runs in order,
// num_exploration / num_slices of them.
struct ConcentricOutput {
  std::vector<std::pair<double, double>> slice_boundaries;
  std::vector<math::Vector> metrics;
};

}  // namespace ludovec::explore
