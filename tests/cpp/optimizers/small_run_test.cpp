// Runs of small games, which step in registers, against runs stepped by the general rules:
// same histories, same state and optimizer afterwards, same stops with the same leftovers.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "optimizers/core.hpp"
#include "optimizers/small_steps.hpp"

namespace ludovec::optimizers {
namespace {

using math::Matrix;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_bits(const Vector& a, const Vector& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 8) == 0);
}
bool same_bits(const Matrix& a, const Matrix& b) {
  return a.rows() == b.rows() && a.cols() == b.cols() &&
         (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * 8) == 0);
}

std::array<Vector, 4> snapshot(const GameState& s, const Optimizer& o) {
  return std::visit(
      [&](const auto& r) {
        const auto& [a, b, eta] = r;
        return std::array{s.x, s.y, a, b};
      },
      o.inner);
}

// The run loop over the general step rules: what every run computed before the register kernels.
GameResult general_run(std::uint32_t num_steps, GameState& s, Optimizer& opt) {
  Workspace w;
  return domain::run_until_convergence(num_steps, s,
                                       [&](GameState& st) { return step(opt, st, w); });
}

struct Outcome {
  GameResult result;
  std::string stop;
  std::array<Vector, 4> left;  // x, y and the optimizer's vectors after the run
};

template <class Run>
Outcome outcome(GameState s, Optimizer opt, Run&& run) {
  Outcome o;
  try {
    o.result = run(s, opt);
  } catch (const math::Stop& e) {
    o.stop = e.what();
  }
  o.left = snapshot(s, opt);
  return o;
}

Matrix game(std::size_t n, std::mt19937_64& rng, const std::string& kind) {
  std::normal_distribution<double> normal;
  Matrix a(n, n);
  for (std::size_t k = 0; k < a.size(); ++k) a.data()[k] = normal(rng);
  if (kind == "identity") {  // the uniform strategies are an equilibrium: converges at once
    a = Matrix(n, n);
    for (std::size_t i = 0; i < n; ++i) a(i, i) = 1.0;
  } else if (kind == "dominant") {  // row 0 and column 0 dominate: converges after a while
    for (std::size_t i = 0; i < n; ++i) a(0, i) = -5.0 - a(0, i) * a(0, i), a(i, 0) = 5.0;
  } else if (kind == "huge") {  // projections without a threshold
    a(0, 0) = 1e20;
  } else if (kind == "inf") {
    a(n - 1, 0) = -kInf;
  } else if (kind == "nan") {
    a(0, n - 1) = kNaN;
  }
  return a;
}

using Factory = Optimizer (*)(double, std::uint32_t);
const std::array<Factory, 3> kDynamics{
    [](double e, std::uint32_t d) { return Optimizer{make_ogda(e, d)}; },
    [](double e, std::uint32_t d) { return Optimizer{make_omwuoomd(e, d)}; },
    [](double e, std::uint32_t d) { return Optimizer{make_omwuoftrl(e, d)}; }};

TEST(SmallRun, EqualsTheGeneralRunBitForBit) {
  std::mt19937_64 rng(2718);
  int converged = 0, stopped = 0;
  for (std::uint32_t n : {2u, 3u, 4u})
    for (const char* kind : {"normal", "identity", "dominant", "huge", "inf", "nan"})
      for (double eta : {0.0, 1e-3, 0.3, 7.0, 1e4, -0.5, kNaN})
        for (std::size_t d = 0; d < kDynamics.size(); ++d)
          for (bool skewed : {false, true}) {
            SCOPED_TRACE(std::to_string(n) + " " + kind + " eta " + std::to_string(eta) +
                         " dynamic " + std::to_string(d) + (skewed ? " skewed" : ""));
            GameState s = GameState::from_matrix(game(n, rng, kind));
            if (skewed) s.x.assign(n, 0.0), s.x[0] = 1.0;
            Optimizer opt = kDynamics[d](eta, n);
            // Advance the optimizer first, so that runs also start from non-fresh vectors.
            if (skewed) {
              try {
                general_run(3, s, opt);
              } catch (const math::Stop&) {
              }
            }
            const std::uint32_t steps = skewed ? 1 : 120;
            const Outcome want = outcome(
                s, opt, [&](GameState& st, Optimizer& o) { return general_run(steps, st, o); });
            const Outcome got = outcome(s, opt, [&](GameState& st, Optimizer& o) {
              return run_experiment_until_convergence({steps}, st, o);
            });
            ASSERT_EQ(got.stop, want.stop);
            for (std::size_t k = 0; k < 4; ++k)
              EXPECT_TRUE(same_bits(got.left[k], want.left[k])) << k;
            EXPECT_TRUE(same_bits(got.result.x_history, want.result.x_history));
            EXPECT_TRUE(same_bits(got.result.y_history, want.result.y_history));
            EXPECT_TRUE(same_bits(got.result.gaps_history, want.result.gaps_history));
            stopped += !want.stop.empty();
            converged += want.stop.empty() && !want.result.gaps_history.empty() &&
                         want.result.gaps_history.back() < domain::kConvergenceThreshold;
          }
  EXPECT_GT(converged, 20);  // the padding after convergence is exercised
  EXPECT_GT(stopped, 20);  // and so are the replays that stop
}

// An interrupted run ends after a whole block of steps, with the state and the optimizer as a
// run of exactly that many steps leaves them (registers written back), and no result.
TEST(SmallRun, AnInterruptedRunLeavesWhatItsFinishedStepsLeft) {
  std::mt19937_64 rng(1414);
  for (std::uint32_t n : {2u, 4u, 5u})  // register kernels, and the general rules for 5
    for (std::size_t d = 0; d < kDynamics.size(); ++d) {
      SCOPED_TRACE(std::to_string(n) + " dynamic " + std::to_string(d));
      const GameState start = GameState::from_matrix(game(n, rng, "normal"));
      const Optimizer fresh = kDynamics[d](1e-7, n);  // far from converging in these steps
      struct Count {
        mutable int asked = 0;
      } count;
      const domain::Interruption second_look{
          [](const void* c) { return ++static_cast<const Count*>(c)->asked == 2; }, &count};
      const std::uint32_t finished = 2 * domain::kStepsBetweenPolls;
      const Outcome want = outcome(
          start, fresh, [&](GameState& st, Optimizer& o) { return general_run(finished, st, o); });
      GameState s = start;
      Optimizer opt = fresh;
      EXPECT_THROW((void)run_experiment_until_convergence({5 * finished}, s, opt, second_look),
                   domain::RunInterrupted);
      EXPECT_EQ(count.asked, 2);
      ASSERT_TRUE(want.stop.empty());
      const std::array<Vector, 4> left = snapshot(s, opt);
      for (std::size_t k = 0; k < 4; ++k) EXPECT_TRUE(same_bits(left[k], want.left[k])) << k;
    }
}

// A run that ends within its first block, or at its step limit, is never asked.
TEST(SmallRun, RunsAreAskedOnlyBetweenBlocks) {
  std::mt19937_64 rng(99);
  for (std::uint32_t steps : {0u, 1u, domain::kStepsBetweenPolls}) {
    GameState s = GameState::from_matrix(game(3, rng, "normal"));
    Optimizer opt = kDynamics[0](1e-7, 3);
    const domain::Interruption always{[](const void*) { return true; }, nullptr};
    EXPECT_EQ(run_experiment_until_convergence({steps}, s, opt, always).gaps_history.size(), steps);
  }
}

// Lane l of a four-lane step equals a one-lane step of the same run.
TEST(SmallRun, LanesStepLikeSingleRuns) {
  std::mt19937_64 rng(31);
  for (std::size_t d = 0; d < kDynamics.size(); ++d) {
    SmallRun<3, 4> lanes;
    std::array<SmallRun<3, 1>, 4> singles;
    for (std::size_t l = 0; l < 4; ++l) {
      GameState s = GameState::from_matrix(game(3, rng, l == 3 ? "dominant" : "normal"));
      const Optimizer opt = kDynamics[d](0.05 * static_cast<double>(l + 1), 3);
      std::visit(
          [&](const auto& o) {
            load_lane(lanes, l, s, o);
            load_lane(singles[l], 0, s, o);
          },
          opt.inner);
    }
    for (int t = 0; t < 200; ++t) {
      const auto step_lanes = [&]<class Rule>(const Rule&) {
        const SmallStep<4> all = step_small<Rule>(lanes);
        ASSERT_FALSE(math::any_lane<4>(all.stops));
        for (std::size_t l = 0; l < 4; ++l) {
          const SmallStep<1> one = step_small<Rule>(singles[l]);
          ASSERT_FALSE(one.stops);
          ASSERT_EQ(std::bit_cast<std::uint64_t>(math::lane<4>(all.gap, l)),
                    std::bit_cast<std::uint64_t>(one.gap));
          for (std::size_t i = 0; i < 3; ++i) {
            ASSERT_EQ(math::lane<4>(lanes.game.x[i], l), singles[l].game.x[i]);
            ASSERT_EQ(math::lane<4>(lanes.first[i], l), singles[l].first[i]);
            ASSERT_EQ(math::lane<4>(lanes.second[i], l), singles[l].second[i]);
          }
        }
      };
      std::visit(step_lanes, kDynamics[d](0.1, 3).inner);
    }
  }
}

}  // namespace
}  // namespace ludovec::optimizers
