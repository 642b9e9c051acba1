// Runs stepped together in lanes against the same runs made one at a time: same norms, same
// metrics, bit for bit, each run drawing its whole perturbation when it starts, in index order.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "explore/engine.hpp"
#include "explore/orchestrator.hpp"
#include "math/stop.hpp"

namespace ludovec::explore {
namespace {

using math::Matrix;
using optimizers::Optimizer;

Matrix matrix(std::size_t n, std::vector<double> entries) {
  Matrix m(n, n);
  std::copy(entries.begin(), entries.end(), m.data());
  return m;
}

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

runtime::ChaChaRng fixed_rng() { return runtime::ChaChaRng({2, 7, 1, 8, 2, 8, 1, 8}, 2845); }

// Run k made on its own: the k-th perturbation of the stream, a fresh optimizer, uniform
// strategies, the full run loop and the metric of its gaps.
RandomGameResult single_run(runtime::ChaChaRng& rng, const Matrix& base, const Optimizer& fresh,
                            const runtime::MagnitudeBand& band, std::uint32_t num_steps,
                            NormFunction norm, const MetricMethod& metric) {
  Matrix a(base.rows(), base.cols());
  for (std::size_t k = 0; k < a.size(); ++k) {
    const double m = runtime::draw_magnitude(rng, band);
    a.data()[k] = runtime::draw_coin(rng) ? -m : m;
  }
  const double perturbation_norm = norm(a.view());
  for (std::size_t k = 0; k < a.size(); ++k) a.data()[k] += base.data()[k];
  domain::GameState state = domain::GameState::from_matrix(a);
  Optimizer opt = fresh;
  optimizers::reset(opt);
  const domain::GameResult r =
      optimizers::run_experiment_until_convergence({num_steps}, state, opt);
  return {perturbation_norm, metric_of_gaps(r.gaps_history, metric)};
}

struct Game {
  const char* name;
  Matrix base;
  double lo, hi;  // the band: wide bands make many runs converge, each at its own step
};

TEST(Lanes, EveryRunEqualsItsSingleRun) {
  const Game games[] = {
      {"pennies 2x2", matrix(2, {1, -1, -1, 1}), 0.01, 0.02},
      {"dominated 2x2: runs converge at different steps", matrix(2, {1, 2, 0, 1}), 0.0, 0.9},
      {"3x3", matrix(3, {0, 1, -1, -1, 0, 1, 1, -1, 0}), 0.05, 0.3},
      {"4x4 identity: most runs converge at once",
       matrix(4, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}), 0.0, 1e-9},
  };
  const MetricMethod metrics[] = {TotalVar{}, MaxLast{0.3}, VarLast{0.1}};
  std::atomic<bool> never{false};
  for (const Game& g : games)
    for (double eta : {0.05, 2.0})
      for (std::uint32_t num_steps : {0u, 1u, 40u})
        for (std::size_t v = 0; v < 3; ++v) {
          const std::uint32_t n = static_cast<std::uint32_t>(g.base.rows());
          const Optimizer fresh = v == 0   ? Optimizer{optimizers::make_ogda(eta, n)}
                                  : v == 1 ? Optimizer{optimizers::make_omwuoomd(eta, n)}
                                           : Optimizer{optimizers::make_omwuoftrl(eta, n)};
          const runtime::MagnitudeBand band = make_band(g.lo, g.hi);
          const MetricMethod& metric = metrics[v];
          SCOPED_TRACE(std::string(g.name) + " eta " + std::to_string(eta) + " steps " +
                       std::to_string(num_steps) + " variant " + std::to_string(v));
          ASSERT_TRUE(LaneExploration::applies(g.base.view(), fresh));
          // A used optimizer: every run must still start from the reset one.
          Optimizer used = fresh;
          domain::GameState warm = domain::GameState::from_matrix(g.base);
          (void)optimizers::run_experiment_until_convergence({3}, warm, used);

          runtime::ChaChaRng rng = fixed_rng(), replica = rng;
          LaneExploration lanes(g.base.view(), used, band, num_steps, &max_norm, metric, rng);
          std::vector<RandomGameResult> out(23);  // more runs than lanes, not a multiple
          lanes.run(0, out.size(), out, runtime::BatchStop(never));
          for (std::size_t k = 0; k < out.size(); ++k) {
            const RandomGameResult want =
                single_run(replica, g.base, fresh, band, num_steps, &max_norm, metric);
            EXPECT_EQ(bits(out[k].norm), bits(want.norm)) << "run " << k;
            EXPECT_EQ(bits(out[k].metric), bits(want.metric)) << "run " << k;
          }
        }
}

// An n x n game: a dominant row and column (runs converge, each at its own step) plus a pattern
// that keeps every entry distinct, or that pattern alone around a mixed equilibrium.
Matrix sized_game(std::size_t n, bool dominated) {
  Matrix m(n, n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      const double pattern = std::sin(static_cast<double>(7 * i + 3 * j * j + 1));
      m(i, j) =
          dominated ? static_cast<double>(i) - static_cast<double>(j) + 0.3 * pattern : pattern;
    }
  return m;
}

Optimizer make(std::size_t v, double eta, std::uint32_t n) {
  return v == 0   ? Optimizer{optimizers::make_ogda(eta, n)}
         : v == 1 ? Optimizer{optimizers::make_omwuoomd(eta, n)}
                  : Optimizer{optimizers::make_omwuoftrl(eta, n)};
}

// Games of 5 actions and more, whose lanes live in memory: every size class of the kernels
// (four-row blocks with and without a remainder, sorting networks with and without padding),
// in 4 lanes and, where the processor has them, in the widest.
TEST(Lanes, EveryRunOfALargerGameEqualsItsSingleRun) {
  std::atomic<bool> never{false};
  for (bool widest : {false, true})
    for (std::size_t n : {5u, 8u, 13u, 30u})
      for (bool dominated : {false, true})
        for (double eta : {0.05, 2.0})
          for (std::size_t v = 0; v < 3; ++v) {
            const Matrix base = sized_game(n, dominated);
            const Optimizer fresh = make(v, eta, static_cast<std::uint32_t>(n));
            const runtime::MagnitudeBand band = make_band(0.0, dominated ? 0.5 : 0.1);
            const MetricMethod metric = v == 0 ? MetricMethod{TotalVar{}} : MaxLast{0.5};
            const std::uint32_t num_steps = 60;
            SCOPED_TRACE(std::to_string(n) + "x" + std::to_string(n) +
                         (dominated ? " dominated" : " mixed") + " eta " + std::to_string(eta) +
                         " variant " + std::to_string(v) + (widest ? " widest" : ""));
            math::lanes_testing::allow_widest_lanes(widest);
            ASSERT_TRUE(LaneExploration::applies(base.view(), fresh));
            runtime::ChaChaRng rng = fixed_rng(), replica = rng;
            LaneExploration lanes(base.view(), fresh, band, num_steps, &max_norm, metric, rng);
            std::vector<RandomGameResult> out(9);  // lanes refilled, the last round not full
            lanes.run(0, out.size(), out, runtime::BatchStop(never));
            for (std::size_t k = 0; k < out.size(); ++k) {
              const RandomGameResult want =
                  single_run(replica, base, fresh, band, num_steps, &max_norm, metric);
              EXPECT_EQ(bits(out[k].norm), bits(want.norm)) << "run " << k;
              EXPECT_EQ(bits(out[k].metric), bits(want.metric)) << "run " << k;
            }
          }
}

// Entries near the largest double: gradients overflow to infinities, which some steps survive
// and others stop on; either way the lanes end as the single runs do.
TEST(Lanes, OverflowingGamesEndAsTheirSingleRuns) {
  std::atomic<bool> never{false};
  for (std::size_t n : {5u, 13u})
    for (std::size_t v = 0; v < 3; ++v) {
      Matrix base = sized_game(n, false);
      for (std::size_t j = 0; j < n; ++j) base(1, j) = (j % 2 ? -1.0 : 1.0) * 1.7e308;
      const Optimizer fresh = make(v, 0.5, static_cast<std::uint32_t>(n));
      const runtime::MagnitudeBand band = make_band(0.0, 0.1);
      SCOPED_TRACE(std::to_string(n) + " variant " + std::to_string(v));
      runtime::ChaChaRng rng = fixed_rng(), replica = rng;
      std::vector<RandomGameResult> want;
      std::string want_stop = "no stop";
      try {
        for (std::size_t k = 0; k < 6; ++k)
          want.push_back(single_run(replica, base, fresh, band, 30, &max_norm, TotalVar{}));
      } catch (const math::Stop& s) {
        want_stop = s.what();
      }
      std::vector<RandomGameResult> out(6);
      std::string stop = "no stop";
      try {
        LaneExploration lanes(base.view(), fresh, band, 30, &max_norm, TotalVar{}, rng);
        lanes.run(0, out.size(), out, runtime::BatchStop(never));
      } catch (const math::Stop& s) {
        stop = s.what();
      }
      EXPECT_EQ(stop, want_stop);
      if (want_stop != "no stop") continue;
      for (std::size_t k = 0; k < out.size(); ++k)
        EXPECT_EQ(bits(out[k].metric), bits(want[k].metric)) << "run " << k;
    }
}

TEST(Lanes, FewerRunsThanLanesAndARequestedStop) {
  const Matrix base = matrix(2, {2, -1, -1, 1});
  const Optimizer opt{optimizers::make_ogda(1e-3, 2)};
  const runtime::MagnitudeBand band = make_band(0.01, 0.02);
  std::atomic<bool> flag{false};
  runtime::ChaChaRng rng = fixed_rng(), replica = rng;
  LaneExploration lanes(base.view(), opt, band, 30, &max_norm, TotalVar{}, rng);
  std::vector<RandomGameResult> out(10, RandomGameResult{-1.0, -1.0});
  lanes.run(3, 5, out, runtime::BatchStop(flag));  // two runs, indices 3 and 4
  for (std::size_t k = 0; k < out.size(); ++k) {
    if (k < 3 || k > 4) {
      EXPECT_EQ(out[k].norm, -1.0) << "untouched " << k;
      continue;
    }
    const RandomGameResult want = single_run(replica, base, opt, band, 30, &max_norm, TotalVar{});
    EXPECT_EQ(bits(out[k].metric), bits(want.metric));
  }
  flag = true;  // requested before any run starts: none does
  lanes.run(5, 10, out, runtime::BatchStop(flag));
  for (std::size_t k = 5; k < out.size(); ++k) EXPECT_EQ(out[k].norm, -1.0);
}

// Set by the norm, which every run calls as it starts: the batch is abandoned mid-run.
std::atomic<bool> abandon_on_start{false};
double norm_then_abandon(const math::MatrixView& a) {
  abandon_on_start = true;
  return max_norm(a);
}

TEST(Lanes, ARunInFlightIsAbandonedWithinAFewThousandSteps) {
  const Matrix base = matrix(2, {2, -1, -1, 1});
  const Optimizer opt{optimizers::make_omwuoomd(1e-9, 2)};  // never converges in these steps
  abandon_on_start = false;
  runtime::ChaChaRng rng = fixed_rng();
  LaneExploration lanes(base.view(), opt, make_band(0.1, 0.2), 4294967295u, &norm_then_abandon,
                        TotalVar{}, rng);
  std::vector<RandomGameResult> out(1, RandomGameResult{-1.0, -1.0});
  lanes.run(0, 1, out,
            runtime::BatchStop(abandon_on_start));  // returns only when abandoned or done
  EXPECT_EQ(out[0].norm, -1.0) << "the run went on to its step limit";
}

TEST(Lanes, AStopInAnyRunFailsTheBatchWithTheRulesMessage) {
  for (std::size_t n : {2u, 5u, 13u}) {
    const Matrix base = sized_game(n, false);
    const std::uint32_t dim = static_cast<std::uint32_t>(n);
    struct Case {
      Optimizer opt;
      double lo, hi;
      std::string message_start;
    } cases[] = {
        {Optimizer{optimizers::make_ogda(std::numeric_limits<double>::quiet_NaN(), dim)}, 0.1, 0.2,
         "NaN encountered"},
        {Optimizer{optimizers::make_ogda(1.0, dim)}, 1e300, 2e300, "Issue computing theta"},
        {Optimizer{optimizers::make_omwuoftrl(std::numeric_limits<double>::infinity(), dim)}, 0.1,
         0.2, "x doesn't lie on the simplex"},
        {Optimizer{optimizers::make_omwuoomd(std::numeric_limits<double>::quiet_NaN(), dim)}, 0.1,
         0.2, "x doesn't lie on the simplex"},
    };
    for (const Case& c : cases) {
      for (std::size_t workers : {1u, 2u}) {
        runtime::WorkerPool pool(workers);
        std::string message = "no stop";
        try {
          (void)run_batch_exploration(base.view(), c.opt, make_band(c.lo, c.hi), 200, 50, &max_norm,
                                      TotalVar{}, runtime::BatchExecution{&pool, {}});
        } catch (const math::Stop& s) {
          message = s.what();
        }
        EXPECT_EQ(message.rfind(c.message_start, 0), 0u) << n << ": " << message;
      }
    }
  }
}

// Entries so large that the quick test of the register kernels cannot vouch for a step: a lane
// whose run has ended (not refilled) keeps raising that doubt while the lanes with runs step on,
// which must still advance, by the general rule, as their single runs do.
TEST(Lanes, ALaneWithoutARunDoesNotHoldTheOthersBack) {
  std::atomic<bool> never{false};
  Matrix base = sized_game(2, false);
  for (std::size_t k = 0; k < base.size(); ++k) base.data()[k] *= 3e15;
  const Optimizer fresh{optimizers::make_ogda(0.1, 2)};
  const runtime::MagnitudeBand band = make_band(0.0, 9e15);
  runtime::ChaChaRng rng = fixed_rng(), replica = rng;
  std::vector<RandomGameResult> out(5);  // the fifth run steps beside lanes without runs
  LaneExploration lanes(base.view(), fresh, band, 40, &max_norm, TotalVar{}, rng);
  lanes.run(0, out.size(), out, runtime::BatchStop(never));
  for (std::size_t k = 0; k < out.size(); ++k) {
    const RandomGameResult want = single_run(replica, base, fresh, band, 40, &max_norm, TotalVar{});
    EXPECT_EQ(bits(out[k].metric), bits(want.metric)) << "run " << k;
  }
}

}  // namespace
}  // namespace ludovec::explore
