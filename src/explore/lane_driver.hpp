// The loop that steps a chunk's runs in lanes, refilling a lane as soon as its run ends.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "domain/run_loop.hpp"
#include "math/lanes.hpp"
#include "optimizers/core.hpp"
#include "optimizers/lane_steps.hpp"
#include "optimizers/small_steps.hpp"
#include "runtime/worker_pool.hpp"

namespace ludovec::explore {

// How many runs one worker steps together: one 256-bit vector register of doubles; or, for games
// of a size known only when running, one 512-bit register where the processor has AVX-512 (the
// register kernels and those of known sizes gain nothing from it).
inline constexpr std::size_t kExplorationLanes = 4;
inline constexpr std::size_t kWidestExplorationLanes = 8;

// The lanes of the kernels compiled for AVX-512 (LUDOVEC_WIDEST_VECTORS) on N x N games: eight
// 512-bit lanes for games of a size known only when running (N = 0); four for sizes known when
// compiling, where eight were slower and the gain is the 32 registers, which hold what AVX2's
// sixteen spill.
template <std::size_t N>
inline constexpr std::size_t kWidestLanesFor = N == 0 ? kWidestExplorationLanes : kExplorationLanes;

// Steps runs in the lanes of `lanes` with the rule `Rule` (for N, see step_lanes), each from the
// state `fresh`, until `runs` has none left; `lanes` is a MemoryLanes, two of them stepped
// together (PairedLanes, step_paired), or a SmallRun of N x N games held in registers
// (step_small). `runs` provides:
//   bool start(l, state): writes the next run's game and starting strategies into `state`
//     (sized like the lanes) and returns true, or returns false when no run is left;
//   void record(l, t, gap): gap t of the run in lane l;
//   optionally void before_step(l, t, lanes): step t of the run in lane l is about to begin;
//   void finish(l, steps, converged, gap): the run in lane l ended after `steps` steps with
//     `gap`, strictly below the threshold (converged) or at the step limit `num_steps` (>= 1);
//   optionally void progressed(n): n more run-steps are done (a finished run counts num_steps),
//     told at each look at `stop` and when the lanes are done, never per step;
//   optionally std::uint32_t quiet_steps(l): record(l, t, gap) does nothing for t below it, so
//     the driver may leave those calls out.
// A lane without a run keeps stepping what it last held; its results are ignored. When a lane's
// step may stop, the step is replayed lane by lane with the general rule in the lanes with a
// run, which stops exactly where the rule says (the exception propagates) or completes it. Once
// `stop` is requested the runs in flight are abandoned within kStepsBetweenPolls steps.
// `scratch` is a state of the lanes' sizes; `workspace` serves the replays.
template <class Rule, std::size_t N, class LaneState, class Runs>
[[gnu::always_inline]] inline void drive_lanes(LaneState& lanes, const Rule& fresh,
                                               domain::GameState& scratch,
                                               optimizers::Workspace& workspace,
                                               std::uint32_t num_steps, Runs& runs,
                                               const runtime::BatchStop& stop) {
  // G groups of L lanes: lane l is lane l % L of group l / L.
  constexpr std::size_t L = LaneState::kLanes, G = LaneState::kGroups, kAll = G * L;
  static_assert(kAll <= kWidestExplorationLanes);
  constexpr bool kInRegisters = std::is_same_v<LaneState, optimizers::SmallRun<N, L>>;
  static_assert(kInRegisters || std::is_same_v<LaneState, optimizers::MemoryLanes<L>> ||
                std::is_same_v<LaneState, optimizers::PairedLanes<L>>);
  using Mask = math::LaneMask<L>;
  std::array<std::uint32_t, kAll> steps{};
  std::array<Mask, G> active;
  active.fill(math::no_lane<L>());
  const auto has_run = [&](std::size_t l) { return math::lane_set<L>(active[l / L], l % L); };
  for (std::size_t l = 0; l < kAll; ++l) {
    if (!runs.start(l, scratch)) continue;
    optimizers::load_lane(lanes, l, scratch, fresh);
    active[l / L][l % L] = -1;
  }
  const auto any_run = [&] {
    bool any = false;
    for (const Mask& a : active) any |= math::any_lane<L>(a);
    return any;
  };
  constexpr bool kReports = requires { runs.progressed(std::uint64_t{}); };
  // Steps ahead in which no lane records a gap nor reaches the step limit: while no lane
  // converges either, a step leaves the per-lane bookkeeping to the step counts alone.
  const auto calm_steps = [&]() -> std::uint32_t {
    if constexpr (requires { runs.quiet_steps(std::size_t{}); }) {
      std::uint32_t calm = num_steps;
      for (std::size_t l = 0; l < kAll; ++l) {
        if (!has_run(l)) continue;
        const std::uint32_t quiet = std::min<std::uint32_t>(runs.quiet_steps(l), num_steps - 1);
        calm = std::min(calm, quiet > steps[l] ? quiet - steps[l] : 0);
      }
      return calm;
    } else {
      return 0;
    }
  };
  std::uint32_t calm = calm_steps();
  std::array<std::uint32_t, kAll> reported{};  // steps of each lane's run already told
  std::uint64_t untold = 0;                    // of runs that finished since the last look
  std::uint32_t since_look = 0;
  // Lanes gain and lose runs only in the bookkeeping below, which updates this.
  bool running = any_run();
  while (running) {
    if (++since_look == domain::kStepsBetweenPolls) {
      since_look = 0;
      if constexpr (kReports) {
        for (std::size_t l = 0; l < kAll; ++l) {
          if (!has_run(l)) continue;
          untold += steps[l] - reported[l];
          reported[l] = steps[l];
        }
        runs.progressed(std::exchange(untold, 0));
      }
      if (stop.requested()) return;
    }
    if constexpr (requires { runs.before_step(std::size_t{}, std::uint32_t{}, lanes); }) {
      for (std::size_t l = 0; l < kAll; ++l)
        if (has_run(l)) runs.before_step(l, steps[l], lanes);
    }
    std::array<optimizers::SmallStep<L>, G> step;
    if constexpr (kInRegisters)
      step[0] = optimizers::step_small<Rule>(lanes);
    else if constexpr (G == 1)
      step[0] = optimizers::step_lanes<Rule, N>(lanes);
    else
      step = optimizers::step_paired<Rule, N>(lanes);
    // One look at every group for the common step where no lane may stop.
    Mask any_stop = step[0].stops;
    for (std::size_t g = 1; g < G; ++g) any_stop |= step[g].stops;
    if (math::any_lane<L>(any_stop)) {
      for (std::size_t g = 0; g < G; ++g) {
        // A stop in a lane without a run counts too: the step then wrote nothing in the group.
        if (!math::any_lane<L>(step[g].stops)) continue;
        for (std::size_t l = g * L; l < (g + 1) * L; ++l) {
          if (!has_run(l)) continue;
          if constexpr (kInRegisters) {  // their store leaves the game out: it never changes
            for (std::size_t i = 0; i < N; ++i)
              for (std::size_t j = 0; j < N; ++j)
                scratch.a(i, j) = math::lane<L>(lanes.game.a[i][j], l);
          }
          Rule rule = fresh;
          optimizers::store_lane(lanes, l, scratch, rule);
          math::set_lane<L>(step[g].gap, l % L, optimizers::step(rule, scratch, workspace));
          optimizers::load_lane(lanes, l, scratch, rule);
        }
      }
    }
    std::array<Mask, G> converged_lanes;
    Mask converged_runs = math::no_lane<L>();
    for (std::size_t g = 0; g < G; ++g) {
      converged_lanes[g] = step[g].gap < math::splat<L>(domain::kConvergenceThreshold);
      converged_runs |= converged_lanes[g] & active[g];
    }
    if (calm > 0 && !math::any_lane<L>(converged_runs)) {
      --calm;
      for (std::size_t l = 0; l < kAll; ++l) ++steps[l];  // a lane without a run counts unread
      continue;
    }
    for (std::size_t l = 0; l < kAll; ++l) {
      if (!has_run(l)) continue;
      const double gap = math::lane<L>(step[l / L].gap, l % L);
      runs.record(l, steps[l]++, gap);
      const bool converged = math::lane_set<L>(converged_lanes[l / L], l % L);
      if (!converged && steps[l] < num_steps) continue;
      runs.finish(l, steps[l], converged, gap);
      if constexpr (kReports) {
        untold += num_steps - reported[l];
        reported[l] = 0;
      }
      steps[l] = 0;
      if (runs.start(l, scratch)) {
        optimizers::load_lane(lanes, l, scratch, fresh);
      } else {
        active[l / L][l % L] = 0;
      }
    }
    calm = calm_steps();
    running = any_run();
  }
  if constexpr (kReports) runs.progressed(untold);
}

}  // namespace ludovec::explore
