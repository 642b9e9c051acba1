// The three step rules against a plain rendering of each rule that allocates every
// intermediate: same values bit for bit, same stops, same leftovers after a stop.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <string>

#include "math/simplex.hpp"
#include "optimizers/core.hpp"
#include "support.hpp"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

// Counts every allocation of the test binary, so that a step can be shown to make none.
void* operator new(std::size_t n) {
  ++g_allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
// The pairing with malloc above is right; GCC cannot see it through the replacement.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace ludovec::optimizers {
namespace {

using test_support::matrix;
using test_support::stop_message;

using domain::compute_gradient;
using domain::duality_gap;
using math::Matrix;
using math::Stop;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- reference rules: every intermediate a new Vector, stores in the documented order ----

Vector times(const Vector& v, double c) {
  Vector r(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) r[i] = v[i] * c;
  return r;
}
Vector shifted_exp(const Vector& v) {
  double m = -std::numeric_limits<double>::infinity();
  for (double e : v)
    if (e > m) m = e;
  Vector r(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) r[i] = std::exp(v[i] - m);
  return r;
}
Vector normalised(Vector v) {
  double sum = 0.0;
  for (double e : v) sum += e;
  for (double& e : v) e = e / sum;
  return v;
}
Vector checked(Vector v, const char* message) {
  return math::S::build(std::move(v)).expect(message);
}

double reference_step(Ogda& o, GameState& s) {
  const auto [gx, gy] = compute_gradient(s);
  const Vector sx = times(gx, o.eta), sy = times(gy, o.eta);
  Vector x_hat = math::projected_step(o.x_hat, sx);
  Vector y_hat = math::projected_step(o.y_hat, sy);
  s.x = math::projected_step(x_hat, sx);
  s.y = math::projected_step(y_hat, sy);
  o.x_hat = x_hat;
  o.y_hat = y_hat;
  return duality_gap(gx, gy);
}

double reference_step(OmwuOomd& o, GameState& s) {
  const auto [gx, gy] = compute_gradient(s);
  const Vector lx = times(gx, -o.eta), ly = times(gy, -o.eta);
  auto hat_next = [](const Vector& l, const Vector& hat) {
    math::require_same_length(hat.size(), l.size(), "an entry-wise product");
    Vector h = shifted_exp(l);
    for (std::size_t i = 0; i < h.size(); ++i) h[i] = h[i] * hat[i];
    for (double& e : h) e = e + 2.220446049250313e-16;
    return normalised(h);
  };
  auto next = [](const Vector& l, const Vector& hat) {
    Vector v = shifted_exp(l);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = v[i] * hat[i];
    return normalised(v);
  };
  const Vector x_hat = hat_next(lx, o.x_hat), y_hat = hat_next(ly, o.y_hat);
  Vector x = next(lx, x_hat), y = next(ly, y_hat);
  s.x = checked(x, "x doesn't lie on the simplex");
  s.y = checked(y, "y doesn't lie on the simplex");
  o.x_hat = checked(x_hat, "x_hat doesn't lie on the simplex");
  o.y_hat = checked(y_hat, "y_hat doesn't lie on the simplex");
  return duality_gap(gx, gy);
}

double reference_step(OmwuOftrl& o, GameState& s) {
  const auto [gx, gy] = compute_gradient(s);
  auto plus = [](const Vector& a, const Vector& b) {
    math::require_same_length(a.size(), b.size(), "an entry-wise sum");
    Vector r(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) r[i] = a[i] + b[i];
    return r;
  };
  o.x_grad_sum = plus(o.x_grad_sum, gx);
  o.y_grad_sum = plus(o.y_grad_sum, gy);
  const Vector lx = times(plus(o.x_grad_sum, gx), -o.eta);
  const Vector ly = times(plus(o.y_grad_sum, gy), -o.eta);
  s.x = checked(normalised(shifted_exp(lx)), "x doesn't lie on the simplex");
  s.y = checked(normalised(shifted_exp(ly)), "y doesn't lie on the simplex");
  return duality_gap(gx, gy);
}

double reference_step(Optimizer& opt, GameState& s) {
  return std::visit([&](auto& o) { return reference_step(o, s); }, opt.inner);
}

// ---- helpers ----

bool same_bits(const Vector& a, const Vector& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 8) == 0);
}
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The state of an optimizer: its two Vectors (auxiliary iterates or gradient sums).
std::array<Vector, 2> vectors(const Optimizer& opt) {
  return std::visit(
      [](const auto& o) {
        const auto& [a, b, eta] = o;
        return std::array{a, b};
      },
      opt.inner);
}

// x, y of the state, then the optimizer's two Vectors.
std::array<Vector, 4> snapshot(const GameState& s, const Optimizer& o) {
  const auto [a, b] = vectors(o);
  return {s.x, s.y, a, b};
}

Matrix random_matrix(std::size_t n, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> d(-1.0, 1.0);
  Matrix a(n, n);
  for (std::size_t k = 0; k < a.size(); ++k) a.data()[k] = d(rng);
  return a;
}

using Factory = Optimizer (*)(double, std::uint32_t);
const std::array<std::pair<const char*, Factory>, 3> kDynamics{{
    {"Ogda", [](double e, std::uint32_t d) { return Optimizer{make_ogda(e, d)}; }},
    {"OmwuOomd", [](double e, std::uint32_t d) { return Optimizer{make_omwuoomd(e, d)}; }},
    {"OmwuOftrl", [](double e, std::uint32_t d) { return Optimizer{make_omwuoftrl(e, d)}; }},
}};

// ---- tests ----

TEST(Step, MatchesTheAllocatingRuleBitForBit) {
  std::mt19937_64 rng(20240611);
  for (const auto& [name, make] : kDynamics)
    for (std::size_t n : {2u, 3u, 7u})
      for (double eta : {0.05, 1.0, 40.0})
        for (bool uniform_start : {true, false}) {
          SCOPED_TRACE(std::string(name) + " n=" + std::to_string(n) +
                       " eta=" + std::to_string(eta) + (uniform_start ? " uniform" : " skewed"));
          GameState s = GameState::from_matrix(random_matrix(n, rng));
          if (!uniform_start) {
            std::uniform_real_distribution<double> d(-1.0, 2.0);
            for (double& e : s.x) e = d(rng);
            for (double& e : s.y) e = d(rng);
            s.x = math::simplex_projection(s.x, 1.0);
            s.y = math::simplex_projection(s.y, 1.0);
          }
          Optimizer opt = make(eta, static_cast<std::uint32_t>(n)), ref_opt = opt;
          GameState ref = s;
          Workspace w;
          for (int t = 0; t < 300; ++t) {
            const double gap = step(opt, s, w);
            ASSERT_TRUE(same_bits(gap, reference_step(ref_opt, ref))) << "step " << t;
            const auto got = snapshot(s, opt), want = snapshot(ref, ref_opt);
            for (std::size_t k = 0; k < 4; ++k) ASSERT_TRUE(same_bits(got[k], want[k])) << t;
          }
        }
}

struct Example {
  const char* name;
  Optimizer opt;
  Matrix a;
  Vector x, y;
  Vector x_next, y_next, first, second;  // expected
  double gap, tolerance;
};

TEST(Step, WorkedExamples) {
  const double ln3 = std::log(3.0);
  const Matrix identity = matrix(2, 2, {1, 0, 0, 1}), pennies = matrix(2, 2, {1, -1, -1, 1});
  const Vector half{0.5, 0.5}, corner{1.0, 0.0};
  // clang-format off
  const Example examples[] = {
      {"Ogda", {make_ogda(0.1, 2)}, identity, corner, half,
       half, {0.6, 0.4}, half, {0.55, 0.45}, 0.5, 1e-12},
      {"OmwuOomd", {make_omwuoomd(ln3, 2)}, identity, corner, half,
       half, {0.9, 0.1}, half, {0.75, 0.25}, 0.5, 1e-12},
      {"OmwuOftrl", {make_omwuoftrl(ln3, 2)}, identity, corner, half,
       half, {0.9, 0.1}, half, {-1.0, 0.0}, 0.5, 1e-12},
      // At the equilibrium of matching pennies nothing moves, to the last bit.
      {"Ogda pennies", {make_ogda(0.3, 2)}, pennies, half, half, half, half, half, half, 0.0, 0},
      {"OmwuOomd pennies", {make_omwuoomd(0.3, 2)}, pennies, half, half,
       half, half, half, half, 0.0, 0},
      {"OmwuOftrl pennies", {make_omwuoftrl(0.3, 2)}, pennies, half, half,
       half, half, {0.0, 0.0}, {0.0, 0.0}, 0.0, 0},
  };
  // clang-format on
  for (const Example& e : examples) {
    SCOPED_TRACE(e.name);
    GameState s{e.x, e.y, e.a};
    Optimizer opt = e.opt;
    Workspace w;
    EXPECT_EQ(step(opt, s, w), e.gap);
    const auto got = snapshot(s, opt);
    const std::array<Vector, 4> want{e.x_next, e.y_next, e.first, e.second};
    for (std::size_t k = 0; k < 4; ++k)
      for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_NEAR(got[k][i], want[k][i], e.tolerance) << "vector " << k << " entry " << i;
        if (got[k][i] == 0.0) {
          EXPECT_FALSE(std::signbit(got[k][i]));  // 0.0 + -0.0 is +0.0
        }
      }
  }
}

TEST(Step, ZeroEtaSettlesOnUniformStrategies) {
  for (const auto& [name, make] : kDynamics) {
    SCOPED_TRACE(name);
    GameState s{{1.0, 0.0}, {0.2, 0.8}, matrix(2, 2, {1, 2, 3, 4})};
    Optimizer opt = make(0.0, 2);
    Workspace w;
    for (int t = 0; t < 3; ++t) {
      step(opt, s, w);
      EXPECT_EQ(s.x, (Vector{0.5, 0.5}));
      EXPECT_EQ(s.y, (Vector{0.5, 0.5}));
    }
  }
}

struct StopCase {
  const char* name;
  Optimizer opt;
  GameState state;
  std::string message_start;
  std::array<bool, 4> changed;  // x, y, first and second optimizer Vector
};

Optimizer with(Optimizer opt, Vector first, Vector second) {
  std::visit(
      [&](auto& o) {
        auto& [a, b, eta] = o;
        a = std::move(first);
        b = std::move(second);
      },
      opt.inner);
  return opt;
}

TEST(Step, StopsLeaveExactlyTheStoresMadeBeforeThem) {
  const Vector half{0.5, 0.5}, corner{1.0, 0.0};
  const GameState identity{corner, half, matrix(2, 2, {1, 0, 0, 1})};
  const GameState wide = GameState::from_matrix(matrix(2, 3, {1, 2, 3, 4, 5, 6}));
  const std::string refused = " doesn't lie on the simplex: \"v does not belong on the simplex";
  const auto o = [](Factory f, double eta, std::uint32_t dim) { return f(eta, dim); };
  const Factory ogda = kDynamics[0].second, oomd = kDynamics[1].second, oftrl = kDynamics[2].second;
  const StopCase cases[] = {
      {"Ogda dim above rows", o(ogda, 0.1, 3), identity, "shape mismatch", {}},
      {"Ogda dim below cols", o(ogda, 0.1, 2), wide, "shape mismatch", {}},
      {"Ogda NaN in x_hat",
       with(o(ogda, 0.1, 2), {kNaN, 0.5}, half),
       identity,
       "NaN encountered",
       {}},
      // The last projection meets 1e20 + 0.5 twice: no threshold exceeds its own value.
      {"Ogda last projection",
       with(o(ogda, 1.0, 2), half, {-1e20, -1e20}),
       {corner, half, matrix(2, 2, {1e20, 1e20, 0, 0})},
       "Issue computing theta",
       {true, false, false, false}},
      {"OmwuOomd dim above rows", o(oomd, 0.1, 3), identity, "shape mismatch", {}},
      {"OmwuOomd dim below cols", o(oomd, 0.1, 2), wide, "shape mismatch", {}},
      {"OmwuOomd x refused", with(o(oomd, 1.0, 2), {kNaN, 0.5}, half), identity, "x" + refused, {}},
      {"OmwuOomd y refused",
       with(o(oomd, 1.0, 2), half, {kNaN, 0.5}),
       identity,
       "y" + refused,
       {true, false, false, false}},
      // exp(-1000) underflows: x' = (1, -0.0) passes while x_hat' keeps eps / (negative sum).
      {"OmwuOomd x_hat refused",
       with(o(oomd, 1.0, 2), {-1.0, -1.0}, half),
       {corner, {0.25, 0.75}, matrix(2, 2, {0, 0, 1000, 1000})},
       "x_hat" + refused,
       {true, true, false, false}},
      {"OmwuOomd y_hat refused",
       with(o(oomd, 1.0, 2), half, {-1.0, -1.0}),
       {half, corner, matrix(2, 2, {1, -1000, 0, -1000})},
       "y_hat" + refused,
       {true, true, true, false}},
      {"OmwuOftrl dim above rows", o(oftrl, 0.1, 3), identity, "shape mismatch", {}},
      {"OmwuOftrl dim below cols",
       o(oftrl, 0.1, 2),
       wide,
       "shape mismatch",
       {false, false, true, false}},
      {"OmwuOftrl x refused",
       o(oftrl, kNaN, 2),
       identity,
       "x" + refused,
       {false, false, true, true}},
      {"OmwuOftrl y refused",
       with(o(oftrl, 1.0, 2), {0.0, 0.0}, {0.0, kNaN}),
       identity,
       "y" + refused,
       {true, false, true, true}},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.name);
    Optimizer ref_opt = c.opt, opt = c.opt;
    GameState ref = c.state, s = c.state;
    Workspace w;
    const std::string want = stop_message([&] { reference_step(ref_opt, ref); });
    const std::string got = stop_message([&] { step(opt, s, w); });
    EXPECT_EQ(got, want);
    EXPECT_EQ(got.rfind(c.message_start, 0), 0u) << got;
    const auto before = snapshot(c.state, c.opt), after = snapshot(s, opt),
               ref_after = snapshot(ref, ref_opt);
    for (std::size_t k = 0; k < 4; ++k) {
      EXPECT_EQ(!same_bits(after[k], before[k]), c.changed[k]) << "vector " << k;
      EXPECT_TRUE(same_bits(after[k], ref_after[k])) << "vector " << k;
    }
  }
}

TEST(Step, RefusalQuotesTheCheckText) {
  Optimizer opt{make_omwuoomd(1.0, 2)};
  std::get<OmwuOomd>(opt.inner).x_hat = {kNaN, 0.5};
  GameState s{{1.0, 0.0}, {0.5, 0.5}, matrix(2, 2, {1, 0, 0, 1})};
  Workspace w;
  EXPECT_EQ(stop_message([&] { step(opt, s, w); }),
            "x doesn't lie on the simplex: \"v does not belong on the simplex. Last values : "
            "[NaN, NaN], shape=[2], strides=[1], layout=CFcf (0xf), const ndim=1\"");
}

TEST(Step, AllocatesNothingOnceTheWorkspaceFits) {
  std::mt19937_64 rng(7);
  for (const auto& [name, make] : kDynamics) {
    SCOPED_TRACE(name);
    GameState s = GameState::from_matrix(random_matrix(7, rng));
    Optimizer opt = make(0.1, 7);
    Workspace w;
    step(opt, s, w);
    const long before = g_allocations.load();
    for (int t = 0; t < 50; ++t) step(opt, s, w);
    EXPECT_EQ(g_allocations.load(), before);
  }
}

TEST(Run, AllocatesIndependentlyOfTheNumberOfSteps) {
  for (const auto& [name, make] : kDynamics) {
    SCOPED_TRACE(name);
    auto allocations = [&](std::uint32_t num_steps) {
      std::mt19937_64 rng(11);
      GameState s = GameState::from_matrix(random_matrix(5, rng));
      Optimizer opt = make(0.01, 5);
      const long before = g_allocations.load();
      const GameResult r = run_experiment_until_convergence({num_steps}, s, opt);
      EXPECT_FALSE(r.gaps_history.back() < 1e-08);  // no early stop hides a step
      return g_allocations.load() - before;
    };
    EXPECT_EQ(allocations(3), allocations(400));
  }
}

}  // namespace
}  // namespace ludovec::optimizers
