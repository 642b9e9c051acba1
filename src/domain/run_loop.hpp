// The histories of one run, and the run-until-convergence loop that fills them.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <exception>
#include <span>
#include <type_traits>
#include <utility>

#include "domain/game_state.hpp"

namespace ludovec::domain {

inline constexpr double kConvergenceThreshold = 1e-08;

// Row t of each history is what the run saw when step t began; always num_steps rows.
struct GameResult {
  Matrix x_history;
  Matrix y_history;
  Vector gaps_history;
};

// The configuration of one run.
struct Experiment {
  std::uint32_t num_steps = 0;
};

// Asked between blocks of kStepsBetweenPolls steps whether a run must end early (Ctrl-C, an
// abandoned batch): requested(context) returning true ends the run there. Empty: never asked.
struct Interruption {
  bool (*requested)(const void* context) = nullptr;
  const void* context = nullptr;

  bool operator()() const { return requested != nullptr && requested(context); }
};

// Few enough that a run of games up to 100 x 100 answers within tens of milliseconds, many
// enough that a look costs nothing per step.
inline constexpr std::uint32_t kStepsBetweenPolls = 2048;

// An interrupted run reaches its caller as this, once the state and the optimizer hold
// exactly what the finished steps left; no history comes back.
class RunInterrupted final : public std::exception {
 public:
  const char* what() const noexcept override { return "the run was interrupted"; }
};

// Steps t = from, from + 1, ... up to `to` (excluded) or until a gap is strictly below the
// threshold. Before step t, recorder.before_step(t, stepper) may read the strategies through
// stepper.x() and stepper.y(); stepper.step() performs the step and returns its gap, handed to
// recorder.after_step(t, gap); after a converging step t, recorder.converged_at(t) pads the
// rest of the histories with row t, and the result is true.
template <class Stepper, class Recorder>
bool run_steps(std::uint32_t from, std::uint32_t to, Stepper& stepper, Recorder& recorder) {
  for (std::uint32_t t = from; t < to; ++t) {
    recorder.before_step(t, stepper);
    const double gap = stepper.step();
    recorder.after_step(t, gap);
    if (gap < kConvergenceThreshold) {
      recorder.converged_at(t);
      return true;
    }
  }
  return false;
}

// The steps of a run of at most num_steps steps, in blocks of kStepsBetweenPolls: calls
// run_block(from, to), which runs those steps (run_steps) and returns whether the run converged,
// until the run converged or ran its steps; between two blocks asks `interrupted`, and throws
// RunInterrupted when it answers true. The loop over steps stays exactly what it is without
// the question, which is asked once per block outside it.
template <class RunBlock>
void run_in_blocks(std::uint32_t num_steps, const Interruption& interrupted, RunBlock&& run_block) {
  std::uint32_t from = 0;
  for (;;) {
    const std::uint32_t to =
        num_steps - from > kStepsBetweenPolls ? from + kStepsBetweenPolls : num_steps;
    if (run_block(from, to) || to == num_steps) return;
    if (interrupted()) throw RunInterrupted();
    from = to;
  }
}

// Steps `stepper` until a gap is strictly below the threshold or num_steps steps ran, in one
// block (run_steps from 0).
template <class Stepper, class Recorder>
void run_until_convergence(std::uint32_t num_steps, Stepper& stepper, Recorder& recorder) {
  (void)run_steps(0, num_steps, stepper, recorder);
}

// Records the full GameResult, allocated once at its full size.
class HistoryRecorder {
 public:
  // Every row is written, by a step or by the padding after convergence, before the result is
  // handed out, so the strategy histories are not zeroed first.
  HistoryRecorder(std::uint32_t num_steps, std::size_t m, std::size_t n)
      : result_{Matrix::uninitialised(num_steps, m), Matrix::uninitialised(num_steps, n),
                Vector(num_steps, 0.0)} {}

  template <class Stepper>
  void before_step(std::size_t t, const Stepper& stepper) {
    const auto x = stepper.x();
    const auto y = stepper.y();
    assert(x.size() == result_.x_history.cols() && y.size() == result_.y_history.cols());
    std::copy(x.begin(), x.end(), result_.x_history.data() + t * x.size());
    std::copy(y.begin(), y.end(), result_.y_history.data() + t * y.size());
  }
  void after_step(std::size_t t, double gap) noexcept { result_.gaps_history[t] = gap; }
  void converged_at(std::size_t t) {
    GameResult& r = result_;
    for (std::size_t u = t + 1; u < r.gaps_history.size(); ++u) {
      std::copy_n(r.x_history.row(t).begin(), r.x_history.cols(), r.x_history.row(u).begin());
      std::copy_n(r.y_history.row(t).begin(), r.y_history.cols(), r.y_history.row(u).begin());
      r.gaps_history[u] = r.gaps_history[t];
    }
  }
  GameResult take() && { return std::move(result_); }

 private:
  GameResult result_;
};

// Records only the gaps, into a buffer of num_steps entries that the caller owns, for runs
// whose only reader is a metric of the gaps. Allocates nothing.
class GapRecorder {
 public:
  explicit GapRecorder(std::span<double> gaps) noexcept : gaps_(gaps) {}

  template <class Stepper>
  void before_step(std::size_t, const Stepper&) noexcept {}
  void after_step(std::size_t t, double gap) noexcept { gaps_[t] = gap; }
  void converged_at(std::size_t t) noexcept {
    std::fill(gaps_.begin() + static_cast<std::ptrdiff_t>(t) + 1, gaps_.end(), gaps_[t]);
  }

 private:
  std::span<double> gaps_;
};

// A state stepped by `step(state) -> gap`, read through its own strategies.
template <class Step>
struct StateStepper {
  GameState& state;
  Step& step_rule;

  std::span<const double> x() const noexcept { return state.x; }
  std::span<const double> y() const noexcept { return state.y; }
  double step() { return step_rule(state); }
};

// Steps `state` with `step(state) -> gap` until a gap is strictly below the threshold or
// num_steps steps ran, recording the strategies before each step and each returned gap.
// Rows after convergence repeat the converging row. Histories are allocated once, up front.
template <class Step>
GameResult run_until_convergence(std::uint32_t num_steps, GameState& state, Step&& step) {
  HistoryRecorder recorder(num_steps, state.x.size(), state.y.size());
  StateStepper<std::remove_reference_t<Step>> stepper{state, step};
  run_until_convergence(num_steps, stepper, recorder);
  return std::move(recorder).take();
}

}  // namespace ludovec::domain
