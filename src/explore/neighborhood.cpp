#include "explore/neighborhood.hpp"

#include <limits>
#include <span>

#include "explore/batch_stop.hpp"
#include "math/simplex.hpp"

namespace ludovec::explore {

namespace {

// Neither player favours an action at the start.
math::Vector even_strategy(const char* refusal) {
  return math::S::build(math::Vector{0.5, 0.5}).expect(refusal);
}

domain::GameResult run_one(const math::MatrixView& view, const optimizers::Optimizer& optimizer,
                           std::uint32_t num_steps, bool normalize,
                           const domain::Interruption& interrupted) {
  math::Matrix a = math::Matrix::copy_of(view);
  if (normalize) normalize_to_unit_range(a);
  math::Vector x = even_strategy("unable to build x");
  math::Vector y = even_strategy("unable to build y");
  domain::GameState state{std::move(x), std::move(y), std::move(a)};
  optimizers::Optimizer clone = optimizer;
  return optimizers::run_experiment_until_convergence(domain::Experiment{num_steps}, state, clone,
                                                      interrupted);
}

}  // namespace

void normalize_to_unit_range(math::Matrix& m) noexcept {
  double mx = -std::numeric_limits<double>::infinity();
  double mn = std::numeric_limits<double>::infinity();
  double* entry = m.data();
  for (std::size_t k = 0; k < m.size(); ++k) {
    if (entry[k] > mx) mx = entry[k];  // comparisons with NaN are false: NaN is skipped
    if (entry[k] < mn) mn = entry[k];
  }
  for (std::size_t k = 0; k < m.size(); ++k) entry[k] -= mn;
  const double range = mx - mn;
  for (std::size_t k = 0; k < m.size(); ++k) entry[k] /= range;
}

std::vector<domain::GameResult> neighborhood_exploration(const MatrixStackView& matrices,
                                                         const optimizers::Optimizer& optimizer,
                                                         std::uint32_t num_steps, bool normalize,
                                                         const runtime::BatchExecution& execution) {
  std::vector<domain::GameResult> results(matrices.count);
  if (results.empty()) return results;
  struct NoContext {};
  runtime::fill_by_index(
      execution, std::span<domain::GameResult>(results), [] { return NoContext{}; },
      [&](NoContext&, std::size_t i, const runtime::BatchStop& stop) {
        return run_one(matrices.matrix(i), optimizer, num_steps, normalize, interruption_of(stop));
      });
  return results;
}

}  // namespace ludovec::explore
