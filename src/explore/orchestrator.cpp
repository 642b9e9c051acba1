#include "explore/orchestrator.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "explore/engine.hpp"
#include "math/simplex.hpp"
#include "math/stop.hpp"

namespace ludovec::explore {

namespace {

constexpr double kLargestUniform = 0.9999999999999998;  // 1 - 2^-52, the largest u drawn

std::string band_text(double lo, double hi) {
  return "band of radii from " + math::format_double(lo) + " to " + math::format_double(hi);
}

math::Vector metrics_of(const std::vector<RandomGameResult>& runs) {
  math::Vector metrics;
  metrics.reserve(runs.size());
  for (const RandomGameResult& r : runs) metrics.push_back(r.metric);
  return metrics;
}

}  // namespace

ScatteredOutput scattered_exploration(const math::MatrixView& base, optimizers::Optimizer optimizer,
                                      const ExplorationConfig& config, NormType norm,
                                      const runtime::BatchExecution& execution) {
  const runtime::MagnitudeBand band = make_band(config.inner_radius, config.outer_radius);
  const std::vector<RandomGameResult> runs =
      run_batch_exploration(base, std::move(optimizer), band, config.num_exploration,
                            config.num_steps, norm_function(norm), config.metric, execution);
  ScatteredOutput out;
  out.norms.reserve(runs.size());
  for (const RandomGameResult& r : runs) out.norms.push_back(r.norm);
  out.metrics = metrics_of(runs);
  return out;
}

ConcentricOutput concentric_exploration(const math::MatrixView& base,
                                        const optimizers::Optimizer& optimizer,
                                        const ExplorationConfig& config, std::uint32_t num_slices,
                                        const runtime::BatchExecution& execution) {
  if (num_slices == 0) math::stop("attempt to divide by zero");
  const std::uint32_t runs_per_slice = config.num_exploration / num_slices;
  const double width =
      (config.outer_radius - config.inner_radius) / static_cast<double>(num_slices);
  ConcentricOutput out;
  out.slice_boundaries.reserve(num_slices);
  out.metrics.reserve(num_slices);
  for (std::uint32_t t = 0; t < num_slices; ++t) {
    // Slices quicker than the pool's look at the hook would never let the caller cancel.
    if (t > 0 && execution.cancel && execution.cancel()) throw runtime::Cancelled();
    const double lower = static_cast<double>(t) * width + config.inner_radius;
    const double upper = static_cast<double>(t + std::uint64_t{1}) * width + config.inner_radius;
    out.slice_boundaries.emplace_back(lower, upper);
    const runtime::MagnitudeBand band = make_band(lower, upper);
    out.metrics.push_back(
        metrics_of(run_batch_exploration(base, optimizer, band, runs_per_slice, config.num_steps,
                                         &max_norm, config.metric, execution)));
  }
  return out;
}

runtime::MagnitudeBand make_band(double lo, double hi) {
  if (!(lo < hi))
    math::stop(band_text(lo, hi) + ": EmptyRange (the lower end must lie below the upper end)");
  const double width = hi - lo;
  if (!std::isfinite(width))
    math::stop(band_text(lo, hi) + ": NonFinite (its width is not finite)");
  double scale = width;
  while (lo + scale * kLargestUniform > hi)
    scale = std::bit_cast<double>(std::bit_cast<std::uint64_t>(scale) - 1);
  return {lo, scale};
}

}  // namespace ludovec::explore
