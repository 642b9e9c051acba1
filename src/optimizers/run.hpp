// One run of an optimizer on a state, through the register kernels when the game is small.
#pragma once

#include <cstdint>
#include <exception>
#include <span>
#include <variant>

#include "domain/run_loop.hpp"
#include "math/lanes.hpp"
#include "optimizers/core.hpp"
#include "optimizers/small_steps.hpp"

namespace ludovec::optimizers {

// Steps one run of an N x N game held in registers, for the run loop. The state and the
// optimizer are brought up to date by write_back(), and before a step the kernels cannot vouch
// for: that step is replayed by the general rule, which either stops with its message, leaving
// behind exactly the stores the rule makes before it, or completes it.
template <class Rule, std::size_t N>
class SmallStepper {
 public:
  SmallStepper(GameState& s, Rule& o, Workspace& w) : state_(s), optimizer_(o), workspace_(w) {
    load_lane(run_, 0, s, o);
  }

  std::span<const double, N> x() const noexcept { return std::span<const double, N>(run_.game.x); }
  std::span<const double, N> y() const noexcept { return std::span<const double, N>(run_.game.y); }

  double step() {
    const SmallStep<1> s = step_small<Rule>(run_);
    return s.stops ? replay_stopping_step() : s.gap;
  }

  void write_back() { store_lane(run_, 0, state_, optimizer_); }

 private:
  [[gnu::cold, gnu::noinline]] double replay_stopping_step() {
    write_back();
    const double gap = optimizers::step(optimizer_, state_, workspace_);
    load_lane(run_, 0, state_, optimizer_);
    return gap;
  }

  SmallRun<N, 1> run_;
  GameState& state_;
  Rule& optimizer_;
  Workspace& workspace_;
};

// Steps [from, to) of a run of a small game in registers; the state and the optimizer are
// written back at the end. `converged` tells whether a gap converged. Hands back what a
// replayed step threw (a wide-vector function must not throw). Flattened so that the whole
// loop is compiled for the clone's instruction set.
template <class Rule, std::size_t N, class Recorder>
[[gnu::flatten]] LUDOVEC_WIDE_VECTORS std::exception_ptr run_small(std::uint32_t from,
                                                                   std::uint32_t to, GameState& s,
                                                                   Rule& o, Workspace& w,
                                                                   Recorder& recorder,
                                                                   bool& converged) noexcept {
  try {
    SmallStepper<Rule, N> stepper(s, o, w);
    converged = domain::run_steps(from, to, stepper, recorder);
    stepper.write_back();
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

// run_steps for the general rules, compiled apart from the dispatch around it: inlined there,
// its loop costs a few instructions more per step.
template <class Stepper, class Recorder>
[[gnu::noinline]] bool run_general_steps(std::uint32_t from, std::uint32_t to, Stepper& stepper,
                                         Recorder& recorder) {
  return domain::run_steps(from, to, stepper, recorder);
}

// Runs `opt` on `s` for at most num_steps steps into `recorder`, in blocks
// (domain::run_in_blocks), dispatching once per block: on the variant, and on the size of a
// small square game. When `interrupted` ends the run early, throws domain::RunInterrupted after
// the state and the optimizer took what the finished steps left.
template <class Recorder>
void run_recorded(std::uint32_t num_steps, GameState& s, Optimizer& opt, Workspace& w,
                  Recorder& recorder, const domain::Interruption& interrupted = {}) {
  std::visit(
      [&]<class Rule>(Rule& o) {
        domain::run_in_blocks(num_steps, interrupted, [&](std::uint32_t from, std::uint32_t to) {
          std::exception_ptr stopped;
          bool converged = false;
          switch (small_size(s, o)) {
            case 2: stopped = run_small<Rule, 2>(from, to, s, o, w, recorder, converged); break;
            case 3: stopped = run_small<Rule, 3>(from, to, s, o, w, recorder, converged); break;
            case 4: stopped = run_small<Rule, 4>(from, to, s, o, w, recorder, converged); break;
            default: {
              auto rule = [&](GameState& st) { return step(o, st, w); };
              domain::StateStepper<decltype(rule)> stepper{s, rule};
              converged = run_general_steps(from, to, stepper, recorder);
            }
          }
          if (stopped) std::rethrow_exception(stopped);
          return converged;
        });
      },
      opt.inner);
}

}  // namespace ludovec::optimizers
