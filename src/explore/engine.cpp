#include "explore/engine.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <span>
#include <variant>

#include "explore/batch_stop.hpp"
#include "explore/gap_run.hpp"
#include "explore/lane_driver.hpp"
#include "math/lanes.hpp"
#include "optimizers/lane_steps.hpp"
#include "optimizers/small_steps.hpp"

namespace ludovec::explore {

namespace {

// Overwrites `a` in storage order with a fresh perturbation, per entry the magnitude and then
// the sign coin (true gives -magnitude), measures it with `norm`, then adds the base matrix.
// Returns the perturbation's norm.
double perturb(math::Matrix& a, const math::MatrixView& base, runtime::ChaChaRng& rng,
               const runtime::MagnitudeBand& band, NormFunction norm) {
  constexpr std::size_t kEntriesAtOnce = 32;
  std::uint64_t draws[2 * kEntriesAtOnce];
  double* entry = a.data();
  for (std::size_t k = 0; k < a.size(); k += kEntriesAtOnce) {
    const std::size_t entries = std::min(kEntriesAtOnce, a.size() - k);
    rng.fill_u64(draws, 2 * entries);
    runtime::perturbation_from_draws(draws, band, entry + k, entries);
  }
  const double perturbation_norm = norm(a.view());
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < a.cols(); ++j) a(i, j) += base.at(i, j);
  return perturbation_norm;
}

optimizers::Optimizer reset_copy(optimizers::Optimizer optimizer) {
  optimizers::reset(optimizer);
  return optimizer;
}

// One lane's run: which index it is, how far it got, its perturbation's norm.
struct LaneRun {
  std::size_t index = 0;
  std::uint32_t steps = 0;
  double norm = 0.0;
};

// The runs [begin, end) of a chunk, kExplorationLanes at a time, on N x N games and the rule
// `Rule`, with the register kernels (optimizers::step_small). A lane without a run keeps
// stepping whatever it last held; its results are ignored, and so are its stops.
template <class Rule, std::size_t N>
[[gnu::always_inline]] inline void run_lanes(LaneExploration& c, std::size_t begin, std::size_t end,
                                             std::span<RandomGameResult> out,
                                             const runtime::BatchStop& stop) {
  constexpr std::size_t L = kExplorationLanes;
  const Rule& fresh = std::get<Rule>(c.fresh.inner);
  optimizers::SmallRun<N, L> lanes{};
  std::array<LaneRun, L> runs;
  math::LaneMask<L> active = math::no_lane<L>();
  std::size_t next = begin;

  // Starts the next run of the chunk in lane l, if there is one and the batch goes on.
  const auto start = [&](std::size_t l) {
    if (next == end || stop.requested()) {
      active[l] = 0;
      return;
    }
    runs[l] = {next++, 0, perturb(c.state.a, c.base, c.rng, c.band, c.norm)};
    std::fill(c.state.x.begin(), c.state.x.end(), 1.0 / static_cast<double>(N));
    std::fill(c.state.y.begin(), c.state.y.end(), 1.0 / static_cast<double>(N));
    optimizers::load_lane(lanes, l, c.state, fresh);
    active[l] = -1;
  };
  // Records the gap of lane l's current step; ends its run after the last step or after a gap
  // strictly below the threshold (repeated to the end), and starts the next run there.
  const auto record = [&](std::size_t l, double gap) {
    LaneRun& r = runs[l];
    GapReducer& gaps = c.gaps[l];
    gaps.record(r.steps++, gap);
    const bool converged = gap < domain::kConvergenceThreshold;
    if (!converged && r.steps < c.num_steps) return;
    if (converged) gaps.converged_at(r.steps - 1, gap);
    out[r.index] = {r.norm, gaps.finish()};
    gaps.restart();
    start(l);
  };

  for (std::size_t l = 0; l < L; ++l) start(l);
  std::uint32_t since_look = 0;
  while (math::any_lane<L>(active)) {
    // An abandoned batch leaves its runs in flight within a few thousand steps.
    if (++since_look == domain::kStepsBetweenPolls) {
      since_look = 0;
      if (stop.requested()) return;
    }
    optimizers::SmallStep<L> step = optimizers::step_small<Rule>(lanes);
    if (math::any_lane<L>(step.stops)) {
      // Some lane may stop: replay this step lane by lane with the general rule, which stops
      // exactly where the rule says (failing the batch) or completes the step. A lane without
      // a run counts too: the step then wrote nothing in any lane.
      for (std::size_t l = 0; l < L; ++l) {
        if (!math::lane_set<L>(active, l)) continue;
        for (std::size_t i = 0; i < N; ++i)
          for (std::size_t j = 0; j < N; ++j)
            c.state.a(i, j) = math::lane<L>(lanes.game.a[i][j], l);
        Rule rule = fresh;
        optimizers::store_lane(lanes, l, c.state, rule);
        math::set_lane<L>(step.gap, l, optimizers::step(rule, c.state, c.workspace));
        optimizers::load_lane(lanes, l, c.state, rule);
      }
    }
    for (std::size_t l = 0; l < L; ++l)
      if (math::lane_set<L>(active, l)) record(l, math::lane<L>(step.gap, l));
  }
}

// run_lanes compiled for wide vectors; hands back what a run threw, as such a function must.
template <class Rule, std::size_t N>
LUDOVEC_WIDE_VECTORS std::exception_ptr run_wide_lanes(LaneExploration& c, std::size_t begin,
                                                       std::size_t end,
                                                       std::span<RandomGameResult> out,
                                                       const runtime::BatchStop& stop) noexcept {
  try {
    run_lanes<Rule, N>(c, begin, end, out, stop);
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

// The runs [begin, end) of a chunk of an exploration, started in index order in whichever lane
// is free, each with its perturbation drawn as it starts.
struct PerturbedRuns {
  LaneExploration& c;
  std::size_t next, end;
  std::span<RandomGameResult> out;
  const runtime::BatchStop& stop;
  std::array<LaneRun, kWidestExplorationLanes> runs{};

  bool start(std::size_t l, domain::GameState& s) {
    if (next == end || stop.requested()) return false;
    runs[l] = {next++, 0, perturb(s.a, c.base, c.rng, c.band, c.norm)};
    std::fill(s.x.begin(), s.x.end(), 1.0 / static_cast<double>(s.x.size()));
    std::fill(s.y.begin(), s.y.end(), 1.0 / static_cast<double>(s.y.size()));
    return true;
  }
  void record(std::size_t l, std::uint32_t t, double gap) noexcept { c.gaps[l].record(t, gap); }
  std::uint32_t quiet_steps(std::size_t l) const noexcept {
    return static_cast<std::uint32_t>(c.gaps[l].first_read());  // at most num_steps
  }
  void finish(std::size_t l, std::uint32_t steps, bool converged, double gap) {
    GapReducer& gaps = c.gaps[l];
    if (converged) gaps.converged_at(steps - 1, gap);
    out[runs[l].index] = {runs[l].norm, gaps.finish()};
    gaps.restart();
  }
};

// The runs [begin, end) of a chunk on games of any size, in L lanes held in memory; N x N games
// when N is not 0.
template <class Rule, std::size_t N, std::size_t L>
[[gnu::always_inline]] inline std::exception_ptr run_in_memory(
    LaneExploration& c, std::size_t begin, std::size_t end, std::span<RandomGameResult> out,
    const runtime::BatchStop& stop) noexcept {
  try {
    optimizers::MemoryLanesFor<Rule, N, L> lanes(c.state.a.rows(), c.state.a.cols());
    PerturbedRuns runs{c, begin, end, out, stop};
    drive_lanes<Rule, N>(lanes, std::get<Rule>(c.fresh.inner), c.state, c.workspace, c.num_steps,
                         runs, stop);
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

template <class Rule, std::size_t N>
LUDOVEC_WIDE_VECTORS std::exception_ptr run_memory_lanes(LaneExploration& c, std::size_t begin,
                                                         std::size_t end,
                                                         std::span<RandomGameResult> out,
                                                         const runtime::BatchStop& stop) noexcept {
  return run_in_memory<Rule, N, kExplorationLanes>(c, begin, end, out, stop);
}

#ifdef LUDOVEC_WIDEST_VECTORS
template <class Rule, std::size_t N>
LUDOVEC_WIDEST_VECTORS std::exception_ptr run_widest_lanes(
    LaneExploration& c, std::size_t begin, std::size_t end, std::span<RandomGameResult> out,
    const runtime::BatchStop& stop) noexcept {
  return run_in_memory<Rule, N, kWidestLanesFor<N>>(c, begin, end, out, stop);
}
#endif

// The lanes for the rule and the size of this batch, chosen once per context.
template <std::size_t N>
LaneExploration::Runner runner_of_size(const optimizers::Optimizer& optimizer) {
  return std::visit(
      []<class Rule>(const Rule&) -> LaneExploration::Runner { return &run_wide_lanes<Rule, N>; },
      optimizer.inner);
}

// Lanes in memory, for games of N x N (any size when N is 0), compiled for AVX-512 where the
// processor has it.
template <std::size_t N>
LaneExploration::Runner memory_runner(const optimizers::Optimizer& optimizer) {
  return std::visit(
      []<class Rule>(const Rule&) -> LaneExploration::Runner {
#ifdef LUDOVEC_WIDEST_VECTORS
        if (math::widest_lanes_available()) return &run_widest_lanes<Rule, N>;
#endif
        return &run_memory_lanes<Rule, N>;
      },
      optimizer.inner);
}

LaneExploration::Runner runner_for(std::size_t n, const optimizers::Optimizer& optimizer) {
  switch (n) {
    case 2: return runner_of_size<2>(optimizer);
    case 3: return runner_of_size<3>(optimizer);
    case 4: return runner_of_size<4>(optimizer);
    case 5: return memory_runner<5>(optimizer);
    case 6: return memory_runner<6>(optimizer);
    case 7: return memory_runner<7>(optimizer);
    case 8: return memory_runner<8>(optimizer);
    case 9: return memory_runner<9>(optimizer);
    case 10: return memory_runner<10>(optimizer);
    case 11: return memory_runner<11>(optimizer);
    case 12: return memory_runner<12>(optimizer);
    default: return memory_runner<0>(optimizer);
  }
}

}  // namespace

Exploration::Exploration(const math::MatrixView& base, const optimizers::Optimizer& optimizer,
                         const runtime::MagnitudeBand& band, std::uint32_t num_steps,
                         NormFunction norm, const MetricMethod& metric, runtime::ChaChaRng& rng)
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

RandomGameResult Exploration::execute_clean_run(const domain::Interruption& interrupted) {
  optimizers::reset(optimizer);
  std::fill(state.x.begin(), state.x.end(), 1.0 / static_cast<double>(state.x.size()));
  std::fill(state.y.begin(), state.y.end(), 1.0 / static_cast<double>(state.y.size()));
  const double perturbation_norm = perturb(state.a, base, rng, band, norm);
  run_gaps_until_convergence(state, optimizer, workspace, gaps, interrupted);
  return {perturbation_norm, metric_of_gaps(gaps, metric)};
}

bool LaneExploration::applies(const math::MatrixView& base,
                              const optimizers::Optimizer& optimizer) {
  if (base.rows != base.cols || base.rows < 2) return false;
  return std::visit([&](const auto& o) { return optimizers::fits_lanes(o, base.rows, base.cols); },
                    optimizer.inner);
}

LaneExploration::LaneExploration(const math::MatrixView& base,
                                 const optimizers::Optimizer& optimizer,
                                 const runtime::MagnitudeBand& band, std::uint32_t num_steps,
                                 NormFunction norm, const MetricMethod& metric,
                                 runtime::ChaChaRng& rng)
    : fresh(reset_copy(optimizer)),
      base(base),
      state(domain::GameState::from_matrix(math::Matrix::copy_of(base))),
      rng(rng),
      norm(norm),
      num_steps(num_steps),
      band(band),
      metric(metric),
      gaps(kWidestExplorationLanes, GapReducer(num_steps, metric)),
      runner(runner_for(base.rows, optimizer)) {
  workspace.fit(state.x.size(), state.y.size());
}

void LaneExploration::run(std::size_t begin, std::size_t end, std::span<RandomGameResult> out,
                          const runtime::BatchStop& stop) {
  if (num_steps == 0) {  // nothing to step: each run is its perturbation and an empty history
    for (std::size_t i = begin; i < end && !stop.requested(); ++i)
      out[i] = {perturb(state.a, base, rng, band, norm), metric_of_gaps({}, metric)};
    return;
  }
  if (std::exception_ptr stopped = runner(*this, begin, end, out, stop))
    std::rethrow_exception(stopped);
}

std::vector<RandomGameResult> run_batch_exploration(const math::MatrixView& base,
                                                    optimizers::Optimizer optimizer,
                                                    const runtime::MagnitudeBand& band,
                                                    std::uint32_t count, std::uint32_t num_steps,
                                                    NormFunction norm, const MetricMethod& metric,
                                                    const runtime::BatchExecution& execution) {
  if (count == 0) {
    // No chunk runs, but the one context every batch builds still checks the base matrix;
    // only its state can fail, so only the state is built.
    (void)domain::GameState::from_matrix(math::Matrix::copy_of(base));
    return {};
  }
  std::vector<RandomGameResult> results(count);
  if (LaneExploration::applies(base, optimizer)) {
    auto chunk = [&](std::size_t begin, std::size_t end, const runtime::BatchStop& stop) {
      LaneExploration context(base, optimizer, band, num_steps, norm, metric,
                              runtime::ChaChaRng::for_this_thread());
      context.run(begin, end, results, stop);
    };
    execution.resolve().for_each_chunk(results.size(), chunk, execution.cancel,
                                       kWidestExplorationLanes);
    return results;
  }
  runtime::fill_by_index(
      execution, std::span<RandomGameResult>(results),
      [&] {
        return Exploration(base, optimizer, band, num_steps, norm, metric,
                           runtime::ChaChaRng::for_this_thread());
      },
      [](Exploration& context, std::size_t, const runtime::BatchStop& stop) {
        return context.execute_clean_run(interruption_of(stop));
      });
  return results;
}

}  // namespace ludovec::explore
