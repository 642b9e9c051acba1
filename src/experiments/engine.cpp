#include "experiments/engine.hpp"

#include <algorithm>

#include "experiments/gap_run.hpp"

namespace ludovec::experiments {

Exploration::Exploration(const math::MatrixView& base, const optimizers::Optimizer& optimizer,
                         const MagnitudeBand& band, std::uint32_t num_steps, NormFunction norm,
                         const MetricMethod& metric, ChaChaRng& rng)
    : optimizer(optimizer),
      base(base),
      state(domain::GameState::from_matrix(math::Matrix::copy_of(base))),
      rng(rng),
      norm(norm),
      num_steps(num_steps),
      band(band),
      metric(metric),
      gaps(num_steps, 0.0) {
  workspace.fit(state.x.size(), state.y.size());
}

RandomGameResult Exploration::execute_clean_run() {
  optimizers::reset(optimizer);
  std::fill(state.x.begin(), state.x.end(), 1.0 / static_cast<double>(state.x.size()));
  std::fill(state.y.begin(), state.y.end(), 1.0 / static_cast<double>(state.y.size()));

  math::Matrix& a = state.a;
  double* entry = a.data();
  for (std::size_t k = 0; k < a.size(); ++k) {
    const double magnitude = draw_magnitude(rng, band);
    entry[k] = draw_coin(rng) ? -magnitude : magnitude;
  }
  const double perturbation_norm = norm(a.view());
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < a.cols(); ++j) a(i, j) += base.at(i, j);

  run_gaps_until_convergence(state, optimizer, workspace, gaps);
  return {perturbation_norm, metric_of_gaps(gaps, metric)};
}

std::vector<RandomGameResult> run_batch_exploration(const math::MatrixView& base,
                                                    optimizers::Optimizer optimizer,
                                                    const MagnitudeBand& band,
                                                    std::uint32_t count,
                                                    std::uint32_t num_steps, NormFunction norm,
                                                    const MetricMethod& metric,
                                                    const BatchExecution& execution) {
  if (count == 0) {
    // No chunk runs, but the one context every batch builds still checks the base matrix;
    // only its state can fail, so only the state is built.
    (void)domain::GameState::from_matrix(math::Matrix::copy_of(base));
    return {};
  }
  std::vector<RandomGameResult> results(count);
  fill_by_index(
      execution, std::span<RandomGameResult>(results),
      [&] {
        return Exploration(base, optimizer, band, num_steps, norm, metric,
                           ChaChaRng::for_this_thread());
      },
      [](Exploration& context, std::size_t) { return context.execute_clean_run(); });
  return results;
}

}  // namespace ludovec::experiments
