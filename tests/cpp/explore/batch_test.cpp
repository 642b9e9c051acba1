// A batch's records against the same runs made one at a time by the general run loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
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

// The record of `a` run alone from (x, y) with a copy of `optimizer`.
RunRecord alone(const Matrix& a, Vector x, Vector y, const Optimizer& optimizer,
                std::uint32_t num_steps, const MetricMethod& metric, double norm) {
  domain::GameState state{std::move(x), std::move(y), a};
  Optimizer opt = optimizer;
  const domain::GameResult r =
      optimizers::run_experiment_until_convergence({num_steps}, state, opt);
  const Vector& g = r.gaps_history;
  const auto first =
      std::find_if(g.begin(), g.end(), [](double v) { return v < domain::kConvergenceThreshold; });
  const bool converged = first != g.end();
  const auto steps = static_cast<std::uint32_t>(converged ? first - g.begin() + 1 : g.size());
  return {steps, converged, g[steps - 1], metric_of_gaps(g, metric), norm};
}

void expect_same(const RunRecord& got, const RunRecord& want, std::size_t k) {
  EXPECT_EQ(got.steps, want.steps) << "run " << k;
  EXPECT_EQ(got.converged, want.converged) << "run " << k;
  EXPECT_EQ(bits(got.final_gap), bits(want.final_gap)) << "run " << k;
  EXPECT_EQ(bits(got.metric), bits(want.metric)) << "run " << k;
  EXPECT_EQ(bits(got.norm), bits(want.norm)) << "run " << k;
}

Optimizer make(std::size_t v, double eta, std::uint32_t n) {
  return v == 0   ? Optimizer{optimizers::make_ogda(eta, n)}
         : v == 1 ? Optimizer{optimizers::make_omwuoomd(eta, n)}
                  : Optimizer{optimizers::make_omwuoftrl(eta, n)};
}

TEST(GameBatch, PerturbedRunsRecordWhatEachRunAloneDid) {
  runtime::WorkerPool pool(2);
  for (std::size_t n : {3u, 6u, 17u})
    for (std::size_t v = 0; v < 3; ++v) {
      SCOPED_TRACE(std::to_string(n) + " variant " + std::to_string(v));
      const Matrix base = game(n, n, 0.0, 1.0);  // dominant strategies: runs converge
      const std::size_t count = 11;
      Vector perturbations(count * n * n);
      for (std::size_t k = 0; k < perturbations.size(); ++k)
        perturbations[k] = 0.2 * std::sin(static_cast<double>(k * k % 97));
      GameBatch batch{count, n, n, base.view(), perturbations, {}, {}, {}};
      const Optimizer opt = make(v, 1.0, static_cast<std::uint32_t>(n));
      const MetricMethod metric = VarLast{0.5};
      const std::vector<RunRecord> got = run_game_batch(batch, opt, 50, metric, &frobenius_norm,
                                                        runtime::BatchExecution{&pool, {}});
      ASSERT_EQ(got.size(), count);
      bool some_converged = false, some_not = false;
      for (std::size_t k = 0; k < count; ++k) {
        Matrix p(n, n);
        std::copy_n(perturbations.data() + k * n * n, n * n, p.data());
        Matrix a = p;
        for (std::size_t e = 0; e < a.size(); ++e) a.data()[e] += base.data()[e];
        const RunRecord want = alone(a, Vector(n, 1.0 / static_cast<double>(n)),
                                     Vector(n, 1.0 / static_cast<double>(n)), opt, 50, metric,
                                     frobenius_norm(p.view()));
        expect_same(got[k], want, k);
        (want.converged ? some_converged : some_not) = true;
      }
      if (v == 0) {
        EXPECT_TRUE(some_converged && some_not) << "runs should end at various steps";
      }
    }
}

// A stack of 4 x 6 games (the lanes take any shape) from given starts.
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
  const Optimizer opt{optimizers::OmwuOftrl{Vector(m, 0.0), Vector(n, 0.0), 0.3}};
  GameBatch batch{count, m, n, {}, {}, stack, xs, ys};
  runtime::WorkerPool pool(1);
  const std::vector<RunRecord> got =
      run_game_batch(batch, opt, 40, TotalVar{}, &max_norm, runtime::BatchExecution{&pool, {}});
  for (std::size_t k = 0; k < count; ++k) {
    const Matrix a = Matrix::copy_of(stack.matrix(k));
    const RunRecord want = alone(a, Vector(xs.begin() + k * m, xs.begin() + (k + 1) * m),
                                 Vector(ys.begin() + k * n, ys.begin() + (k + 1) * n), opt, 40,
                                 TotalVar{}, max_norm(a.view()));
    expect_same(got[k], want, k);
  }

  // An optimizer of a square game does not fit: refused before any run.
  const Optimizer square{optimizers::make_omwuoftrl(0.3, 4)};
  try {
    (void)run_game_batch(batch, square, 40, TotalVar{}, &max_norm,
                         runtime::BatchExecution{&pool, {}});
    FAIL() << "no stop";
  } catch (const math::Stop& s) {
    EXPECT_EQ(std::string(s.what()),
              "optimizer vectors of lengths 4 and 4 do not fit games of 4 x 6");
  }
}

}  // namespace
}  // namespace ludovec::explore
