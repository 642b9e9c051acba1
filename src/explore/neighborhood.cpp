#include "explore/neighborhood.hpp"

#include <array>
#include <exception>
#include <limits>
#include <span>
#include <variant>

#include "explore/batch_stop.hpp"
#include "explore/lane_driver.hpp"
#include "math/lanes.hpp"
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

// The runs [next, end) of a chunk of 2 x 2 games, in whichever lane is free, each recording its
// full histories straight into its result.
struct HistoryRuns {
  const MatrixStackView& matrices;
  bool normalize;
  std::uint32_t num_steps;
  std::span<domain::GameResult> out;
  std::size_t next, end;
  const runtime::BatchStop& stop;
  std::array<std::size_t, kExplorationLanes> index{};

  bool start(std::size_t l, domain::GameState& s) {
    if (next == end || stop.requested()) return false;
    index[l] = next++;
    const math::MatrixView view = matrices.matrix(index[l]);
    for (std::size_t i = 0; i < 2; ++i)
      for (std::size_t j = 0; j < 2; ++j) s.a(i, j) = view.at(i, j);
    if (normalize) normalize_to_unit_range(s.a);
    s.x = even_strategy("unable to build x");
    s.y = even_strategy("unable to build y");
    out[index[l]] = {math::Matrix::uninitialised(num_steps, 2),
                     math::Matrix::uninitialised(num_steps, 2), math::Vector(num_steps, 0.0)};
    return true;
  }
  void before_step(std::size_t l, std::uint32_t t,
                   const optimizers::MemoryLanes<kExplorationLanes>& lanes) {
    domain::GameResult& r = out[index[l]];
    for (std::size_t i = 0; i < 2; ++i) {
      r.x_history(t, i) = math::lane<kExplorationLanes>(lanes.x[i], l);
      r.y_history(t, i) = math::lane<kExplorationLanes>(lanes.y[i], l);
    }
  }
  void record(std::size_t l, std::uint32_t t, double gap) { out[index[l]].gaps_history[t] = gap; }
  void finish(std::size_t l, std::uint32_t steps, bool converged, double) {
    if (!converged) return;
    domain::GameResult& r = out[index[l]];
    for (std::size_t u = steps; u < num_steps; ++u) {
      for (std::size_t i = 0; i < 2; ++i) {
        r.x_history(u, i) = r.x_history(steps - 1, i);
        r.y_history(u, i) = r.y_history(steps - 1, i);
      }
      r.gaps_history[u] = r.gaps_history[steps - 1];
    }
  }
};

template <class Rule>
LUDOVEC_WIDE_VECTORS std::exception_ptr run_history_lanes(const MatrixStackView& matrices,
                                                          const Rule& fresh,
                                                          std::uint32_t num_steps, bool normalize,
                                                          std::span<domain::GameResult> out,
                                                          std::size_t begin, std::size_t end,
                                                          const runtime::BatchStop& stop) noexcept {
  try {
    domain::GameState scratch{math::Vector(2), math::Vector(2), math::Matrix(2, 2)};
    optimizers::Workspace workspace;
    workspace.fit(2, 2);
    optimizers::MemoryLanes<kExplorationLanes> lanes(2, 2);
    HistoryRuns runs{matrices, normalize, num_steps, out, begin, end, stop};
    drive_lanes<Rule, 2>(lanes, fresh, scratch, workspace, num_steps, runs, stop);
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
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
  const bool lanes =
      num_steps > 0 && matrices.rows == 2 && matrices.cols == 2 &&
      std::visit([](const auto& o) { return optimizers::fits_lanes(o, 2, 2); }, optimizer.inner);
  if (lanes) {
    // 2 x 2 games that the rule accepts: four runs per lane vector, as the explorations.
    auto chunk = [&](std::size_t begin, std::size_t end, const runtime::BatchStop& stop) {
      const std::exception_ptr stopped = std::visit(
          [&]<class Rule>(const Rule& fresh) {
            return run_history_lanes<Rule>(matrices, fresh, num_steps, normalize, results, begin,
                                           end, stop);
          },
          optimizer.inner);
      if (stopped) std::rethrow_exception(stopped);
    };
    execution.resolve().for_each_chunk(results.size(), chunk, execution.cancel, kExplorationLanes);
    return results;
  }
  struct NoContext {};
  runtime::fill_by_index(
      execution, std::span<domain::GameResult>(results), [] { return NoContext{}; },
      [&](NoContext&, std::size_t i, const runtime::BatchStop& stop) {
        return run_one(matrices.matrix(i), optimizer, num_steps, normalize, interruption_of(stop));
      });
  return results;
}

}  // namespace ludovec::explore
