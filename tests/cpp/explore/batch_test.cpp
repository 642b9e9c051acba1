// A batch's records against the same runs made one at a time by the general run loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "explore/batch.hpp"
#include "math/stop.hpp"

namespace ludovec::explore {
namespace {

using math::Matrix;
using math::Vector;
using optimizers::Optimizer;

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

// Entries from a fixed formula, all distinct; `shift` varies them between games.
Matrix game(std::size_t m, std::size_t n, double shift, double dominance) {
  Matrix a(m, n);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < n; ++j)
      a(i, j) = std::sin(shift + static_cast<double>(5 * i + 3 * j * j)) +
                dominance * (static_cast<double>(i) - static_cast<double>(j));
  return a;
}

// The full histories of `a` run alone from (x, y) with a copy of `optimizer`.
domain::GameResult history(const Matrix& a, Vector x, Vector y, const Optimizer& optimizer,
                           std::uint32_t num_steps) {
  domain::GameState state{std::move(x), std::move(y), a};
  Optimizer opt = optimizer;
  return optimizers::run_experiment_until_convergence({num_steps}, state, opt);
}

std::uint32_t steps_of(const domain::GameResult& r) {
  const Vector& g = r.gaps_history;
  const auto first =
      std::find_if(g.begin(), g.end(), [](double v) { return v < domain::kConvergenceThreshold; });
  return static_cast<std::uint32_t>(first != g.end() ? first - g.begin() + 1 : g.size());
}

// The record of `a` run alone; the norms are those of `p`, or NaN without one.
RunRecord alone(const Matrix& a, Vector x, Vector y, const Optimizer& optimizer,
                std::uint32_t num_steps, const MetricMethod& metric, const Matrix* p) {
  const domain::GameResult r = history(a, std::move(x), std::move(y), optimizer, num_steps);
  const Vector& g = r.gaps_history;
  const std::uint32_t steps = steps_of(r);
  RunRecord want{steps, g[steps - 1] < domain::kConvergenceThreshold, g[steps - 1],
                 metric_of_gaps(g, metric)};
  if (p != nullptr) {
    want.norm_max = max_norm(p->view());
    want.norm_infinity = infinity_norm(p->view());
    want.norm_frobenius = frobenius_norm(p->view());
  }
  return want;
}

void expect_same(const RunRecord& got, const RunRecord& want, std::size_t k) {
  EXPECT_EQ(got.steps, want.steps) << "run " << k;
  EXPECT_EQ(got.converged, want.converged) << "run " << k;
  EXPECT_EQ(bits(got.final_gap), bits(want.final_gap)) << "run " << k;
  EXPECT_EQ(bits(got.metric), bits(want.metric)) << "run " << k;
  EXPECT_EQ(bits(got.norm_max), bits(want.norm_max)) << "run " << k;
  EXPECT_EQ(bits(got.norm_infinity), bits(want.norm_infinity)) << "run " << k;
  EXPECT_EQ(bits(got.norm_frobenius), bits(want.norm_frobenius)) << "run " << k;
}

Vector uniform(std::size_t n) { return Vector(n, 1.0 / static_cast<double>(n)); }

Matrix plus(const Matrix& a, const Matrix& b) {
  Matrix c = a;
  for (std::size_t e = 0; e < c.size(); ++e) c.data()[e] += b.data()[e];
  return c;
}

Optimizer make(std::size_t v, double eta, std::uint32_t m, std::uint32_t n) {
  return v == 0   ? Optimizer{optimizers::make_ogda_sized(eta, m, n)}
         : v == 1 ? Optimizer{optimizers::make_omwuoomd_sized(eta, m, n)}
                  : Optimizer{optimizers::make_omwuoftrl_sized(eta, m, n)};
}

TEST(GameBatch, PerturbedRunsRecordWhatEachRunAloneDid) {
  // On one worker the chunks hold 24 and 16 runs: every lane of the widest lane states is used.
  for (const auto& [workers, count] : {std::pair<std::size_t, std::size_t>{2, 11}, {1, 40}})
    for (std::size_t n : {3u, 6u, 17u})
      for (std::size_t v = 0; v < 3; ++v) {
        runtime::WorkerPool pool(workers);
        SCOPED_TRACE(std::to_string(n) + " variant " + std::to_string(v) + " workers " +
                     std::to_string(workers));
        const Matrix base = game(n, n, 0.0, 1.0);  // dominant strategies: runs converge
        Vector perturbations(count * n * n);
        for (std::size_t k = 0; k < perturbations.size(); ++k)
          perturbations[k] = 0.2 * std::sin(static_cast<double>(k * k % 97));
        GameBatch batch{count, n, n, base.view(), perturbations, {}, {}, {}, {}};
        const auto u = static_cast<std::uint32_t>(n);
        const Optimizer opt = make(v, 1.0, u, u);
        const MetricMethod metric = VarLast{0.5};
        const std::vector<RunRecord> got =
            run_game_batch(batch, opt, {50, metric}, runtime::BatchExecution{&pool, {}}).records;
        ASSERT_EQ(got.size(), count);
        bool some_converged = false, some_not = false;
        for (std::size_t k = 0; k < count; ++k) {
          Matrix p(n, n);
          std::copy_n(perturbations.data() + k * n * n, n * n, p.data());
          const RunRecord want = alone(plus(p, base), uniform(n), uniform(n), opt, 50, metric, &p);
          expect_same(got[k], want, k);
          (want.converged ? some_converged : some_not) = true;
        }
        if (v == 0) {
          EXPECT_TRUE(some_converged && some_not) << "runs should end at various steps";
        }
      }
}

// Seeded runs play base + seeded_perturbation(seed, first_run + k), whatever the split of the
// runs into batches, and tell every run-step to the progress counter.
TEST(GameBatch, SeededPerturbationsDependOnTheRunAlone) {
  runtime::WorkerPool pool(2);
  const std::size_t m = 2, n = 3, count = 9;
  const Matrix base = game(m, n, 1.0, 0.5);
  const runtime::MagnitudeBand band{0.1, 0.3};
  const std::uint64_t seed = 0x0123456789abcdefULL;
  const Optimizer opt = make(0, 0.2, m, n);
  const std::uint32_t num_steps = 300;
  for (std::uint64_t first : {0u, 4u}) {
    SCOPED_TRACE("first run " + std::to_string(first));
    GameBatch batch{
        count, m, n, base.view(), {}, {}, {}, {}, SeededPerturbations{seed, first, band}};
    std::atomic<std::uint64_t> progress{0};
    runtime::BatchExecution execution{&pool, {}, &progress};
    const std::vector<RunRecord> got =
        run_game_batch(batch, opt, {num_steps, MaxLast{0.1}}, execution).records;
    EXPECT_EQ(progress.load(), count * num_steps);
    for (std::size_t k = 0; k < count; ++k) {
      Matrix p(m, n);
      seeded_perturbation(seed, first + k, band, {p.data(), p.size()});
      const RunRecord want =
          alone(plus(p, base), uniform(m), uniform(n), opt, num_steps, MaxLast{0.1}, &p);
      expect_same(got[k], want, k);
    }
  }
}

// Rectangular stacked games from given starts (per run, or shared), each dynamic.
TEST(GameBatch, StackedRectangularGamesFromGivenStarts) {
  const std::size_t m = 4, n = 6, count = 7;
  Vector stacked;
  for (std::size_t k = 0; k < count; ++k) {
    const Matrix a = game(m, n, static_cast<double>(k), 0.0);
    stacked.insert(stacked.end(), a.data(), a.data() + a.size());
  }
  const MatrixStackView stack{reinterpret_cast<const std::byte*>(stacked.data()),
                              count,
                              m,
                              n,
                              static_cast<std::ptrdiff_t>(m * n * sizeof(double)),
                              static_cast<std::ptrdiff_t>(n * sizeof(double)),
                              sizeof(double)};
  Vector xs, ys;
  for (std::size_t k = 0; k < count; ++k) {
    for (std::size_t i = 0; i < m; ++i) xs.push_back(i == k % m ? 0.7 : 0.1);
    for (std::size_t j = 0; j < n; ++j) ys.push_back(j == k % n ? 0.5 : 0.1);
  }
  const Vector shared_y(ys.begin(), ys.begin() + n);
  runtime::WorkerPool pool(1);
  for (std::size_t v = 0; v < 3; ++v) {
    SCOPED_TRACE("variant " + std::to_string(v));
    const Optimizer opt = make(v, 0.3, m, n);
    GameBatch batch{count, m, n, {}, {}, stack, xs, shared_y, {}};
    const std::vector<RunRecord> got =
        run_game_batch(batch, opt, {40, TotalVar{}}, runtime::BatchExecution{&pool, {}}).records;
    for (std::size_t k = 0; k < count; ++k) {
      const Matrix a = Matrix::copy_of(stack.matrix(k));
      const RunRecord want = alone(a, Vector(xs.begin() + k * m, xs.begin() + (k + 1) * m),
                                   shared_y, opt, 40, TotalVar{}, nullptr);
      expect_same(got[k], want, k);
    }
  }

  // An optimizer of a square game does not fit: refused before any run.
  const Optimizer square{optimizers::make_omwuoftrl(0.3, 4)};
  GameBatch batch{count, m, n, {}, {}, stack, xs, ys, {}};
  try {
    (void)run_game_batch(batch, square, {40, TotalVar{}}, runtime::BatchExecution{&pool, {}});
    FAIL() << "no stop";
  } catch (const math::Stop& s) {
    EXPECT_EQ(std::string(s.what()),
              "optimizer vectors of lengths 4 and 4 do not fit games of 4 x 6");
  }
}

// Kept runs record what the full histories of the same run alone hold at the kept steps, and
// the same record as in the lanes.
TEST(GameBatch, KeptTrajectoriesAreTheFullHistoryAtTheKeptSteps) {
  runtime::WorkerPool pool(2);
  const std::size_t m = 3, n = 2, count = 10;
  const Matrix base = game(m, n, 2.0, 0.0);
  const runtime::MagnitudeBand band{0.0, 0.5};
  const std::size_t keep_runs[] = {1, 6, 9};
  const std::uint64_t keep_steps[] = {1, 2, 7, 50, 4000};
  const double tolerances[] = {1e-1, 1e-3, 0.0};
  for (std::size_t v = 0; v < 3; ++v) {
    SCOPED_TRACE("variant " + std::to_string(v));
    const Optimizer opt = make(v, 0.4, m, n);
    GameBatch batch{count, m, n, base.view(), {}, {}, {}, {}, SeededPerturbations{7, 0, band}};
    const std::uint32_t num_steps = 3000;
    const BatchOutput plain =
        run_game_batch(batch, opt, {num_steps, VarLast{0.2}}, runtime::BatchExecution{&pool, {}});
    std::atomic<std::uint64_t> progress{0};
    const BatchOutput got =
        run_game_batch(batch, opt, {num_steps, VarLast{0.2}, {keep_runs, keep_steps, tolerances}},
                       runtime::BatchExecution{&pool, {}, &progress});
    EXPECT_EQ(progress.load(), count * num_steps);  // kept runs count as any other
    ASSERT_EQ(got.kept.size(), std::size(keep_runs));
    for (std::size_t k = 0; k < count; ++k) expect_same(got.records[k], plain.records[k], k);
    for (std::size_t i = 0; i < std::size(keep_runs); ++i) {
      const std::size_t k = keep_runs[i];
      Matrix p(m, n);
      seeded_perturbation(7, k, band, {p.data(), p.size()});
      const domain::GameResult full =
          history(plus(p, base), uniform(m), uniform(n), opt, num_steps);
      const std::uint32_t steps = steps_of(full);
      ASSERT_EQ(got.records[k].steps, steps);
      const KeptRun& kept = got.kept[i];
      std::vector<std::uint64_t> want_steps;
      for (std::uint64_t s : keep_steps)
        if (s < steps) want_steps.push_back(s);
      want_steps.push_back(steps);
      ASSERT_EQ(kept.steps, want_steps) << "run " << k;
      for (std::size_t r = 0; r < want_steps.size(); ++r) {
        const std::size_t t = want_steps[r] - 1;
        EXPECT_EQ(bits(kept.gaps[r]), bits(full.gaps_history[t]));
        for (std::size_t a = 0; a < m; ++a)
          EXPECT_EQ(bits(kept.x[r * m + a]), bits(full.x_history(t, a)));
        for (std::size_t b = 0; b < n; ++b)
          EXPECT_EQ(bits(kept.y[r * n + b]), bits(full.y_history(t, b)));
      }
      for (std::size_t a = 0; a < m; ++a)
        EXPECT_EQ(bits(kept.x_final[a]), bits(full.x_history(steps - 1, a)));
      for (std::size_t b = 0; b < n; ++b)
        EXPECT_EQ(bits(kept.y_final[b]), bits(full.y_history(steps - 1, b)));
      for (std::size_t j = 0; j < std::size(tolerances); ++j) {
        std::int64_t first = -1;
        for (std::size_t t = 0; t < steps && first < 0; ++t)
          if (full.gaps_history[t] < tolerances[j]) first = static_cast<std::int64_t>(t) + 1;
        EXPECT_EQ(kept.tolerance_steps[j], first) << "tolerance " << tolerances[j];
      }
    }
  }
}

}  // namespace
}  // namespace ludovec::explore
