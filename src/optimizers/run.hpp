// One run of an optimizer on a state, through the register kernels when the game is small.
#pragma once

#include <cstdint>
#include <exception>
#include <span>
#include <variant>

#include "domain/game_result.hpp"
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

// One run of a small game in registers; the state and the optimizer are written back at the
// end, also when `interrupted` ended the run early (then `completed` is false). Hands back what
// a replayed step threw (a wide-vector function must not throw). Flattened so that the whole
// loop is compiled for the clone's instruction set.
template <class Rule, std::size_t N, class Recorder>
[[gnu::flatten]] LUDOVEC_WIDE_VECTORS std::exception_ptr run_small(
    std::uint32_t num_steps, GameState& s, Rule& o, Workspace& w, Recorder& recorder,
    const domain::Interruption& interrupted, bool& completed) noexcept {
  try {
    SmallStepper<Rule, N> stepper(s, o, w);
    completed = domain::run_until_convergence(num_steps, stepper, recorder, interrupted);
    stepper.write_back();
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

// Runs `opt` on `s` for at most num_steps steps into `recorder` (domain::run_until_convergence),
// dispatching once per run: on the variant, and on the size of a small square game. When
// `interrupted` ends the run early, throws domain::RunInterrupted after the state and the
// optimizer took what the finished steps left.
template <class Recorder>
void run_recorded(std::uint32_t num_steps, GameState& s, Optimizer& opt, Workspace& w,
                  Recorder& recorder, const domain::Interruption& interrupted = {}) {
  std::visit(
      [&]<class Rule>(Rule& o) {
        std::exception_ptr stopped;
        bool completed = true;
        switch (small_size(s, o)) {
          case 2: stopped = run_small<Rule, 2>(num_steps, s, o, w, recorder, interrupted, completed); break;
          case 3: stopped = run_small<Rule, 3>(num_steps, s, o, w, recorder, interrupted, completed); break;
          case 4: stopped = run_small<Rule, 4>(num_steps, s, o, w, recorder, interrupted, completed); break;
          default: {
            auto rule = [&](GameState& st) { return step(o, st, w); };
            domain::StateStepper<decltype(rule)> stepper{s, rule};
            completed = domain::run_until_convergence(num_steps, stepper, recorder, interrupted);
          }
        }
        if (stopped) std::rethrow_exception(stopped);
        if (!completed) throw domain::RunInterrupted();
      },
      opt.inner);
}

}  // namespace ludovec::optimizers
