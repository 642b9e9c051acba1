// The gap-only run loop, one clean perturbed run, and batches of them on the pool.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "explore/engine.hpp"
#include "explore/gap_run.hpp"
#include "explore/orchestrator.hpp"
#include "math/stop.hpp"
#include "support.hpp"

namespace ludovec::explore {
namespace {

using test_support::matrix;
using test_support::stop_message;

using domain::GameState;
using math::Matrix;
using optimizers::Optimizer;

// Equal bit patterns, so that NaN == NaN and -0.0 != 0.0.
bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

std::vector<Optimizer> optimizers_of_dim(std::uint32_t dim) {
  return {Optimizer{optimizers::make_ogda(0.1, dim)},
          Optimizer{optimizers::make_omwuoomd(0.2, dim)},
          Optimizer{optimizers::make_omwuoftrl(0.3, dim)}};
}

TEST(GapRun, GivesExactlyTheGapsOfTheFullRunLoop) {
  struct Game {
    const char* name;
    Matrix a;
  };
  const Game games[] = {
      {"identity: converges at step 0", matrix(2, 2, {1, 0, 0, 1})},
      {"matching pennies", matrix(2, 2, {1, -1, -1, 1})},
      {"dominant strategies: converges after a few steps", matrix(2, 2, {1, 2, 0, 1})},
      {"3x3 skewed", matrix(3, 3, {0.3, -1.2, 2.0, 0.7, 0.1, -0.4, -2.5, 1.1, 0.9})},
      {"4x4 large entries",
       matrix(4, 4, {3e3, -1e2, 7, 0, -5, 2e3, 1, -8e2, 0.5, -0.25, 9e2, 4, 6, 6, -6, 1e3})},
  };
  bool converged_midway = false;  // the padding after convergence is exercised
  for (const Game& g : games) {
    for (std::uint32_t num_steps : {0u, 1u, 7u, 400u}) {
      for (const Optimizer& fresh : optimizers_of_dim(static_cast<std::uint32_t>(g.a.rows()))) {
        SCOPED_TRACE(std::string(g.name) + ", steps " + std::to_string(num_steps) + ", variant " +
                     std::to_string(fresh.inner.index()));
        GameState full_state = GameState::from_matrix(g.a);
        Optimizer full_opt = fresh;
        const domain::GameResult full = optimizers::run_experiment_until_convergence(
            domain::Experiment{num_steps}, full_state, full_opt);

        GameState state = GameState::from_matrix(g.a);
        Optimizer opt = fresh;
        optimizers::Workspace workspace;
        workspace.fit(state.x.size(), state.y.size());
        std::vector<double> gaps(num_steps, -1.0);
        run_gaps_until_convergence(state, opt, workspace, gaps);

        EXPECT_TRUE(same_bits(gaps, full.gaps_history));
        for (std::size_t t = 1; t + 1 < gaps.size(); ++t)
          converged_midway |= gaps[t] < domain::kConvergenceThreshold &&
                              !(gaps[t - 1] < domain::kConvergenceThreshold);
        EXPECT_TRUE(same_bits(state.x, full_state.x)) << "the same steps were taken";
        EXPECT_TRUE(same_bits(state.y, full_state.y));
      }
    }
  }
  EXPECT_TRUE(converged_midway);
}

// A generator with a fixed key: its copies replay the same draws.
runtime::ChaChaRng fixed_rng() { return runtime::ChaChaRng({3, 1, 4, 1, 5, 9, 2, 6}, 535); }

// The perturbation a run draws from `rng`, entry by entry in storage order.
Matrix replay_perturbation(runtime::ChaChaRng& rng, const runtime::MagnitudeBand& band,
                           std::size_t rows, std::size_t cols) {
  Matrix p(rows, cols);
  for (std::size_t k = 0; k < p.size(); ++k) {
    const double m = runtime::draw_magnitude(rng, band);
    p.data()[k] = runtime::draw_coin(rng) ? -m : m;
  }
  return p;
}

TEST(Exploration, CleanRunIsTheFullRunOfThePerturbedGame) {
  const Matrix base = matrix(3, 3, {0, 1, -1, -1, 0, 1, 1, -1, 0});
  const runtime::MagnitudeBand band = make_band(0.05, 0.3);
  const std::uint32_t num_steps = 60;
  struct Case {
    NormFunction norm;
    MetricMethod metric;
  } cases[] = {
      {&max_norm, MaxLast{0.5}}, {&frobenius_norm, VarLast{0.1}}, {&infinity_norm, TotalVar{}}};
  for (const Optimizer& fresh : optimizers_of_dim(3)) {
    for (const Case& c : cases) {
      SCOPED_TRACE("variant " + std::to_string(fresh.inner.index()));
      runtime::ChaChaRng rng = fixed_rng();
      runtime::ChaChaRng replica = rng;
      Exploration context(base.view(), fresh, band, num_steps, c.norm, c.metric, rng);
      for (int run = 0; run < 3; ++run) {
        // Every run, also the later ones of a reused context, equals a fresh optimizer run
        // from uniform strategies on base + the next perturbation of the stream.
        const RandomGameResult result = context.execute_clean_run();
        const Matrix perturbation = replay_perturbation(replica, band, 3, 3);
        Matrix perturbed = perturbation;
        for (std::size_t k = 0; k < perturbed.size(); ++k) perturbed.data()[k] += base.data()[k];
        GameState state = GameState::from_matrix(perturbed);
        Optimizer opt = fresh;
        const domain::GameResult full =
            optimizers::run_experiment_until_convergence(domain::Experiment{num_steps}, state, opt);

        EXPECT_EQ(result.norm, c.norm(perturbation.view()));
        EXPECT_TRUE(same_bits(context.gaps, full.gaps_history)) << "run " << run;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(result.metric),
                  std::bit_cast<std::uint64_t>(metric_of_gaps(full.gaps_history, c.metric)));
        EXPECT_TRUE(context.state.a == perturbed);
      }
    }
  }
}

TEST(Exploration, AnInterruptedRunEndsWithoutAResult) {
  const Matrix base(5, 5);
  runtime::ChaChaRng rng = fixed_rng();
  Exploration context(base.view(), Optimizer{optimizers::make_omwuoftrl(1e-9, 5)},
                      make_band(0.1, 0.2), 100000, &max_norm, TotalVar{}, rng);
  const domain::Interruption at_once{[](const void*) { return true; }, nullptr};
  EXPECT_THROW((void)context.execute_clean_run(at_once), domain::RunInterrupted);
  // The context stays usable: the next run starts clean and finishes.
  const domain::Interruption never{[](const void*) { return false; }, nullptr};
  const RandomGameResult next = context.execute_clean_run(never);
  EXPECT_EQ(next.metric, metric_of_gaps(context.gaps, TotalVar{}));
}

TEST(Exploration, EveryEntryIsPerturbedWithinTheBandWithBothSigns) {
  const Matrix base(6, 5);  // zeros: the working matrix is the perturbation itself
  const runtime::MagnitudeBand band = make_band(0.1, 0.2);
  runtime::ChaChaRng rng = fixed_rng();
  Exploration context(base.view(), Optimizer{optimizers::make_omwuoftrl(0.1, 6)}, band, 0,
                      &max_norm, TotalVar{}, rng);
  int negative = 0, positive = 0;
  for (int run = 0; run < 50; ++run) {
    const RandomGameResult r = context.execute_clean_run();
    for (std::size_t k = 0; k < context.state.a.size(); ++k) {
      const double v = context.state.a.data()[k];
      ASSERT_GE(std::fabs(v), 0.1);
      ASSERT_LE(std::fabs(v), 0.2);
      (v < 0 ? negative : positive)++;
    }
    EXPECT_EQ(r.norm, max_norm(context.state.a.view()));
    EXPECT_EQ(context.state.x, math::Vector(6, 1.0 / 6));
    EXPECT_EQ(context.state.y, math::Vector(5, 1.0 / 5));
  }
  EXPECT_GT(negative, 600);  // 1500 entries, 750 of each sign expected
  EXPECT_GT(positive, 600);
}

TEST(Batch, EmptyBaseStopsEvenWithoutRuns) {
  const Matrix no_rows(0, 3), no_cols(3, 0), none(0, 0);
  const Optimizer opt{optimizers::make_omwuoftrl(0.1, 3)};
  struct Case {
    const Matrix& base;
    std::uint32_t count;
    const char* prefix;
  } cases[] = {{no_rows, 0, "unable to build x"},
               {no_rows, 5, "unable to build x"},
               {none, 0, "unable to build x"},
               {no_cols, 0, "unable to build y"},
               {no_cols, 3, "unable to build y"}};
  for (const Case& c : cases) {
    const std::string message = stop_message([&] {
      (void)run_batch_exploration(c.base.view(), opt, make_band(0.1, 0.2), c.count, 10, &max_norm,
                                  TotalVar{});
    });
    EXPECT_EQ(message.rfind(c.prefix, 0), 0u) << message;
  }
  const Matrix base(3, 3);
  EXPECT_TRUE(
      run_batch_exploration(base.view(), opt, make_band(0.1, 0.2), 0, 10, &max_norm, TotalVar{})
          .empty());
}

TEST(Batch, NormsInTheBandWithOneAndManyWorkers) {
  const Matrix base = matrix(2, 2, {1, -1, -1, 1});
  const runtime::MagnitudeBand band = make_band(0.1, 0.2);
  for (std::size_t workers : {1u, 2u, 4u}) {
    runtime::WorkerPool pool(workers);
    const std::vector<RandomGameResult> runs =
        run_batch_exploration(base.view(), Optimizer{optimizers::make_ogda(0.1, 2)}, band, 300, 25,
                              &max_norm, MaxLast{0.1}, runtime::BatchExecution{&pool, {}});
    ASSERT_EQ(runs.size(), 300u);
    for (const RandomGameResult& r : runs) {
      ASSERT_GE(r.norm, 0.1);
      ASSERT_LE(r.norm, 0.2);
      ASSERT_TRUE(std::isfinite(r.metric));
    }
    EXPECT_NE(runs.front().norm, runs.back().norm) << "fresh draws per run";
  }
}

TEST(Batch, AFailingRunFailsTheWholeBatch) {
  const Matrix base = matrix(2, 2, {1, -1, -1, 1});
  runtime::WorkerPool pool(3);
  const runtime::BatchExecution on_pool{&pool, {}};
  // An optimizer for 3 x 3 games stops at its first step on a 2 x 2 game.
  EXPECT_THROW(
      (void)run_batch_exploration(base.view(), Optimizer{optimizers::make_ogda(0.1, 3)},
                                  make_band(0.1, 0.2), 100, 10, &max_norm, TotalVar{}, on_pool),
      math::Stop);
  // A negative cutoff puts the tail beyond the history: the first finished run stops the batch.
  const std::string message = stop_message([&] {
    (void)run_batch_exploration(base.view(), Optimizer{optimizers::make_ogda(0.1, 2)},
                                make_band(0.1, 0.2), 100, 10, &max_norm, MaxLast{-0.5}, on_pool);
  });
  EXPECT_NE(message.find("beyond the history of 10 gaps"), std::string::npos) << message;
}

TEST(Batch, CancelledBatchReturnsNothing) {
  const Matrix base(8, 8);
  runtime::WorkerPool pool(2);
  EXPECT_THROW((void)run_batch_exploration(base.view(), Optimizer{optimizers::make_ogda(1e-6, 8)},
                                           make_band(1.0, 2.0), 100000, 2000, &max_norm, TotalVar{},
                                           runtime::BatchExecution{&pool, [] { return true; }}),
               runtime::Cancelled);
}

}  // namespace
}  // namespace ludovec::explore
