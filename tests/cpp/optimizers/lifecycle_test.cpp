// Construction, reset, cloning and whole runs of the optimizer family.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "math/simplex.hpp"
#include "optimizers/core.hpp"

namespace ludovec::optimizers {
namespace {

using math::Matrix;
using math::Stop;

bool same_bits(const Vector& a, const Vector& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 8) == 0);
}
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Same variant, same Vectors and eta to the last bit.
bool same_bits(const Optimizer& p, const Optimizer& q) {
  if (p.inner.index() != q.inner.index()) return false;
  return std::visit(
      [&](const auto& a) {
        const auto& b = std::get<std::decay_t<decltype(a)>>(q.inner);
        const auto& [a1, a2, ae] = a;
        const auto& [b1, b2, be] = b;
        return same_bits(a1, b1) && same_bits(a2, b2) && same_bits(ae, be);
      },
      p.inner);
}
bool same_bits(const GameState& s, const GameState& t) {
  return same_bits(s.x, t.x) && same_bits(s.y, t.y) && s.a == t.a;
}

GameState random_game(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> d(-1.0, 1.0);
  Matrix a(n, n);
  for (std::size_t k = 0; k < a.size(); ++k) a.data()[k] = d(rng);
  return GameState::from_matrix(std::move(a));
}

using Factory = Optimizer (*)(double, std::uint32_t);
const std::array<std::pair<const char*, Factory>, 3> kDynamics{{
    {"Ogda", [](double e, std::uint32_t d) { return Optimizer{make_ogda(e, d)}; }},
    {"OmwuOomd", [](double e, std::uint32_t d) { return Optimizer{make_omwuoomd(e, d)}; }},
    {"OmwuOftrl", [](double e, std::uint32_t d) { return Optimizer{make_omwuoftrl(e, d)}; }},
}};

TEST(Construction, UniformIteratesOrZeroSumsAndEtaAsGiven) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::uint32_t dim : {1u, 2u, 3u, 7u})
    for (double eta : {0.1, 0.0, -2.5, nan}) {
      const Ogda g = make_ogda(eta, dim);
      const OmwuOomd m = make_omwuoomd(eta, dim);
      const OmwuOftrl f = make_omwuoftrl(eta, dim);
      const Vector uniform(dim, 1.0 / dim), zeros(dim, 0.0);
      EXPECT_TRUE(same_bits(g.x_hat, uniform) && same_bits(g.y_hat, uniform)) << dim;
      EXPECT_TRUE(same_bits(m.x_hat, uniform) && same_bits(m.y_hat, uniform)) << dim;
      EXPECT_TRUE(same_bits(f.x_grad_sum, zeros) && same_bits(f.y_grad_sum, zeros)) << dim;
      EXPECT_TRUE(same_bits(g.eta, eta) && same_bits(m.eta, eta) && same_bits(f.eta, eta));
    }
}

TEST(Construction, DimZero) {
  for (auto make : {+[] { make_ogda(0.1, 0); }, +[] { make_omwuoomd(0.1, 0); }}) {
    try {
      make();
      ADD_FAILURE() << "no stop";
    } catch (const Stop& e) {
      EXPECT_STREQ(e.what(), "Issue computing theta");
    }
  }
  const OmwuOftrl f = make_omwuoftrl(0.1, 0);
  EXPECT_TRUE(f.x_grad_sum.empty() && f.y_grad_sum.empty());
}

TEST(Reset, AfterStepsEqualsFreshAndLeavesClonesAlone) {
  for (const auto& [name, make] : kDynamics)
    for (std::uint32_t dim : {1u, 2u, 5u}) {
      SCOPED_TRACE(std::string(name) + " dim " + std::to_string(dim));
      GameState s = random_game(dim, dim);
      Optimizer opt = make(0.3, dim);
      const Optimizer fresh = opt;
      Workspace w;
      for (int t = 0; t < 7; ++t) step(opt, s, w);
      if (dim > 1) {
        ASSERT_FALSE(same_bits(opt, fresh));
      }

      // A clone stepped on its own leaves its source untouched.
      const Optimizer stepped = opt;
      Optimizer clone = opt;
      GameState s2 = s;
      for (int t = 0; t < 10; ++t) step(clone, s2, w);
      EXPECT_TRUE(same_bits(opt, stepped));

      reset(opt);
      EXPECT_TRUE(same_bits(opt, fresh));
    }
}

Matrix sine_game_2x5() {
  Matrix a(2, 5);
  for (std::size_t k = 0; k < a.size(); ++k) a.data()[k] = std::sin(static_cast<double>(k * k));
  return a;
}

// Each player of an m x n game keeps its own length, on the m- and n-simplex, through steps
// and reset.
TEST(Reset, RectangularOptimizersKeepEachPlayersLength) {
  const std::array<Optimizer, 3> fresh = {Optimizer{make_ogda_sized(0.3, 2, 5)},
                                          Optimizer{make_omwuoomd_sized(0.3, 2, 5)},
                                          Optimizer{make_omwuoftrl_sized(0.3, 2, 5)}};
  for (const Optimizer& f : fresh) {
    SCOPED_TRACE(f.inner.index());
    GameState s = GameState::from_matrix(sine_game_2x5());
    Optimizer opt = f;
    Workspace w;
    for (int t = 0; t < 7; ++t) step(opt, s, w);
    EXPECT_TRUE(math::lies_on_simplex(s.x) && s.x.size() == 2);
    EXPECT_TRUE(math::lies_on_simplex(s.y) && s.y.size() == 5);
    ASSERT_FALSE(same_bits(opt, f));
    reset(opt);
    EXPECT_TRUE(same_bits(opt, f));
  }
}

TEST(Reset, EmptyIteratesStopWithTheUnwrapMessage) {
  const std::string want =
      "called `Result::unwrap()` on an `Err` value: \"v does not belong on the simplex. Last "
      "values : [], shape=[0], strides=[0], layout=CFcf (0xf), const ndim=1\"";
  for (Optimizer opt : {Optimizer{Ogda{{}, {0.5, 0.5}, 0.1}}, Optimizer{OmwuOomd{{}, {}, 0.1}}}) {
    try {
      reset(opt);
      ADD_FAILURE() << "no stop";
    } catch (const Stop& e) {
      EXPECT_EQ(e.what(), want);
    }
  }
  Optimizer empty_sums{make_omwuoftrl(0.1, 0)};
  reset(empty_sums);
  EXPECT_TRUE(same_bits(empty_sums, Optimizer{make_omwuoftrl(0.1, 0)}));
}

TEST(Run, EquilibriumConvergesAtStepZeroAndPads) {
  Matrix identity(2, 2);
  identity(0, 0) = identity(1, 1) = 1.0;
  for (const auto& [name, make] : kDynamics) {
    SCOPED_TRACE(name);
    GameState s = GameState::from_matrix(identity), once = s;
    Optimizer opt = make(0.2, 2), once_opt = opt;
    Workspace w;
    step(once_opt, once, w);
    const GameResult r = run_experiment_until_convergence({4}, s, opt);
    ASSERT_EQ(r.x_history.rows(), 4u);
    for (std::size_t t = 0; t < 4; ++t) {
      EXPECT_EQ(r.x_history(t, 0), 0.5);
      EXPECT_EQ(r.x_history(t, 1), 0.5);
      EXPECT_EQ(r.y_history(t, 0), 0.5);
      EXPECT_EQ(r.y_history(t, 1), 0.5);
      EXPECT_TRUE(same_bits(r.gaps_history[t], 0.0));
    }
    // Exactly one step ran.
    EXPECT_TRUE(same_bits(s, once) && same_bits(opt, once_opt));
  }
}

TEST(Run, ZeroStepsTouchNothingAndRunsContinue) {
  for (const auto& [name, make] : kDynamics) {
    SCOPED_TRACE(name);
    GameState s = random_game(3, 5), whole_s = s;
    Optimizer opt = make(0.1, 3), whole_opt = opt;
    const GameState s0 = s;
    const Optimizer opt0 = opt;
    const GameResult none = run_experiment_until_convergence({0}, s, opt);
    EXPECT_EQ(none.x_history.rows() + none.y_history.rows() + none.gaps_history.size(), 0u);
    EXPECT_TRUE(same_bits(s, s0) && same_bits(opt, opt0));

    // 4 steps then 6 more record exactly what one run of 10 records.
    const GameResult first = run_experiment_until_convergence({4}, s, opt);
    const GameResult second = run_experiment_until_convergence({6}, s, opt);
    const GameResult whole = run_experiment_until_convergence({10}, whole_s, whole_opt);
    for (std::size_t t = 0; t < 10; ++t) {
      const GameResult& part = t < 4 ? first : second;
      const std::size_t u = t < 4 ? t : t - 4;
      EXPECT_TRUE(same_bits(part.gaps_history[u], whole.gaps_history[t])) << t;
      for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(same_bits(part.x_history(u, i), whole.x_history(t, i))) << t;
        EXPECT_TRUE(same_bits(part.y_history(u, i), whole.y_history(t, i))) << t;
      }
    }
    EXPECT_TRUE(same_bits(s, whole_s) && same_bits(opt, whole_opt));
  }
}

TEST(Run, GapAtTheThresholdDoesNotStop) {
  // At uniform strategies the gap of this game is 2e-8 / 2 - 0 = 1e-08 exactly, and a
  // regularised leader with eta 0 stays uniform.
  Matrix a(2, 2);
  a(0, 0) = 2e-8;
  GameState s = GameState::from_matrix(a);
  Optimizer opt{make_omwuoftrl(0.0, 2)};
  const GameResult r = run_experiment_until_convergence({5}, s, opt);
  double five_gradients = 0.0;
  for (double g : r.gaps_history) {
    EXPECT_TRUE(same_bits(g, 1e-08));
    five_gradients += 1e-08;
  }
  EXPECT_EQ(std::get<OmwuOftrl>(opt.inner).x_grad_sum[0], five_gradients);  // all five ran
}

TEST(Run, OnlyGapsStrictlyBelowTheThresholdStop) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::vector<double> gaps;
    std::size_t calls;
  } cases[] = {{{0.3, 0.2, 5e-9, 1.0, 1.0}, 3},
               {{nan, nan, nan, nan, nan}, 5},
               {{1.0, -1.0, 1.0, 1.0, 1.0}, 2},
               {{1e-08, 1e-08, 1e-08, 1e-08, 1e-08}, 5}};
  for (const Case& c : cases) {
    GameState s = GameState::from_matrix(Matrix(1, 1));
    std::size_t calls = 0;
    const GameResult r =
        domain::run_until_convergence(5, s, [&](GameState&) { return c.gaps[calls++]; });
    EXPECT_EQ(calls, c.calls);
    for (std::size_t t = 0; t < 5; ++t)
      EXPECT_TRUE(same_bits(r.gaps_history[t], c.gaps[std::min(t, c.calls - 1)])) << t;
  }
}

}  // namespace
}  // namespace ludovec::optimizers
