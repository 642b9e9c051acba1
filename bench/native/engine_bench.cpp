// Wall-clock figures of the batch engine on a 2 x 2 game, printed, never asserted:
//   - a 10,000-run x 1,000-step batch on pools of 1 and of 2 workers;
//   - the engine's overhead against the same runs stepped by the calling thread in a plain loop;
//   - the cost per run-step of the lanes against the cost per step of a single run.
// Rounds alternate the measurements so that a change of machine speed touches them alike; each
// figure is the median over rounds, and each ratio is taken within a round first.
//
//   engine_bench [rounds]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "domain/run_loop.hpp"
#include "explore/engine.hpp"
#include "explore/orchestrator.hpp"
#include "math/matrix.hpp"
#include "optimizers/core.hpp"
#include "runtime/worker_pool.hpp"

namespace {

using namespace ludovec;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kRuns = 10'000;
constexpr std::uint32_t kSteps = 1'000;
constexpr std::uint32_t kSingleRunSteps = 200'000;
constexpr double kEta = 1e-3;

// A mixed equilibrium away from uniform: the dynamics do not reach it in these many steps.
math::Matrix base_game() {
  math::Matrix a(2, 2);
  a(0, 0) = 2.0;
  a(0, 1) = -1.0;
  a(1, 0) = -1.0;
  a(1, 1) = 1.0;
  return a;
}

optimizers::Optimizer ogda() { return {optimizers::make_ogda(kEta, 2)}; }

// The last gap of every run: with the tail starting at the last entry, the metric is that gap,
// which lies below the threshold exactly when the run converged early.
const explore::MetricMethod kLastGap = explore::MaxLast{0.5 / kSteps};

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Fails loudly when a run converged: the per-step figures assume every run took kSteps steps.
void require_full_runs(std::span<const explore::RandomGameResult> results) {
  for (const auto& r : results)
    if (!(r.metric >= domain::kConvergenceThreshold)) {
      std::fprintf(stderr, "a run converged early; per-step figures would be wrong\n");
      std::exit(1);
    }
}

struct Batch {
  math::Matrix base = base_game();
  runtime::MagnitudeBand band = explore::make_band(0.01, 0.02);
};

// Seconds for the batch on `pool`.
double engine(const Batch& b, runtime::WorkerPool& pool) {
  const auto t0 = Clock::now();
  const auto results = explore::run_batch_exploration(b.base.view(), ogda(), b.band, kRuns, kSteps,
                                                      &explore::max_norm, kLastGap,
                                                      runtime::BatchExecution{&pool, {}});
  const double s = seconds_since(t0);
  require_full_runs(results);
  return s;
}

// Seconds for the same runs stepped by the calling thread: the lanes without the pool, or one
// run after another (no lanes).
double plain_loop(const Batch& b, bool lanes) {
  std::vector<explore::RandomGameResult> results(kRuns);
  std::atomic<bool> never{false};
  auto& rng = runtime::ChaChaRng::for_this_thread();
  const auto t0 = Clock::now();
  if (lanes) {
    explore::LaneExploration context(b.base.view(), ogda(), b.band, kSteps, &explore::max_norm,
                                     kLastGap, rng);
    context.run(0, kRuns, results, runtime::BatchStop(never));
  } else {
    explore::Exploration context(b.base.view(), ogda(), b.band, kSteps, &explore::max_norm,
                                 kLastGap, rng);
    for (auto& r : results) r = context.execute_clean_run();
  }
  const double s = seconds_since(t0);
  require_full_runs(results);
  return s;
}

// Seconds per step of one Experiment run of the base game from x = (1, 0), y uniform.
double single_run_per_step() {
  domain::GameState s{{1.0, 0.0}, {0.5, 0.5}, base_game()};
  optimizers::Optimizer opt = ogda();
  const auto t0 = Clock::now();
  const domain::GameResult r =
      optimizers::run_experiment_until_convergence({kSingleRunSteps}, s, opt);
  const double seconds = seconds_since(t0);
  const auto performed = std::find_if(r.gaps_history.begin(), r.gaps_history.end(),
                                      [](double g) { return g < domain::kConvergenceThreshold; }) -
                         r.gaps_history.begin() + 1;
  return seconds / static_cast<double>(std::min<std::ptrdiff_t>(performed, kSingleRunSteps));
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const Batch batch;
  runtime::WorkerPool one(1), two(2);
  std::vector<double> t1, t2, loop, serial, single, two_over_one, overhead, lane_ratio;
  for (int round = 0; round < rounds; ++round) {
    std::fprintf(stderr, "round %d/%d\n", round + 1, rounds);
    const double e1 = engine(batch, one);
    const double l = plain_loop(batch, true);
    const double e2 = engine(batch, two);
    const double s = plain_loop(batch, false);
    const double step = single_run_per_step();
    const double run_steps = double{kRuns} * kSteps;
    t1.push_back(e1);
    t2.push_back(e2);
    loop.push_back(l);
    serial.push_back(s);
    single.push_back(step);
    two_over_one.push_back(e2 / e1);
    overhead.push_back(e1 / l - 1.0);
    lane_ratio.push_back((e1 / run_steps) / step);
  }
  const double run_steps = double{kRuns} * kSteps;
  const auto row = [&](const char* what, const std::vector<double>& seconds) {
    std::printf("  %-30s %8.1f ms %7.2f ns/run-step\n", what, median(seconds) * 1e3,
                median(seconds) / run_steps * 1e9);
  };
  std::printf("2 x 2 Ogda, eta %g, batches of %u runs x %u steps, medians of %d rounds\n", kEta,
              kRuns, kSteps, rounds);
  row("engine, 1 worker", t1);
  row("engine, 2 workers", t2);
  row("plain loop, lanes", loop);
  row("plain loop, one run at a time", serial);
  std::printf("  %-30s %19.2f ns/step\n", "single Experiment run", median(single) * 1e9);
  std::printf("2 workers / 1 worker:            %.2f\n", median(two_over_one));
  std::printf("engine overhead over the loop:   %+.1f%%\n", median(overhead) * 100.0);
  std::printf("lanes per run-step / single run: %.2f\n", median(lane_ratio));
  return 0;
}
